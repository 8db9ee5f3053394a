#import "window_bridge.h"

#import "controller.h"

#include "mac_app/model/qvtool.h"
#include "sys/clock.h"

namespace macapp {

namespace {

// Every Objective-C call from a thread of ours needs a pool of its own.
class Pool {
public:
    Pool() : pool_([[NSAutoreleasePool alloc] init]) {}
    ~Pool() { [pool_ release]; }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

private:
    NSAutoreleasePool* pool_;
};

NSString* text(const std::string& s)
{
    NSString* t = [NSString stringWithUTF8String:s.c_str()];
    return t != nil ? t : @"";
}

}  // namespace

void onMainThread(id target, SEL selector, id argument)
{
    if (target == nil)
        return;
    if ([NSThread isMainThread]) {
        [target performSelector:selector withObject:argument];
        return;
    }
    NSArray* modes = [NSArray arrayWithObjects:NSDefaultRunLoopMode, NSModalPanelRunLoopMode,
                                               NSEventTrackingRunLoopMode, nil];
    [target performSelectorOnMainThread:selector withObject:argument waitUntilDone:NO modes:modes];
}

void WindowBridge::stopprogressbar()
{
    Pool pool;
    onMainThread(ctrller, @selector(stopprogressbar), nil);
}

void WindowBridge::cleargui()
{
    Pool pool;
    onMainThread(ctrller, @selector(cleargui), nil);
}

void WindowBridge::clear_controller_list()
{
    Pool pool;
    onMainThread(ctrller, @selector(clear_controller_list), nil);
}

// The list is emptied first; the rows follow after the pause, taken from the list as it stands
// then. The pause runs on the calling thread (the discovery thread but for refresh:).
void WindowBridge::update_controller_list()
{
    Pool pool;
    onMainThread(ctrller, @selector(showControllerRows:), [NSArray array]);
    sys::sleepMs(2000);
    const std::vector<std::string> rows = raid::controller_rows();
    NSMutableArray* items = [NSMutableArray arrayWithCapacity:rows.size()];
    for (size_t i = 0; i < rows.size(); ++i)
        [items addObject:text(rows[i])];
    if ([items count] > 0)
        onMainThread(ctrller, @selector(showControllerRows:), items);
}

void WindowBridge::select_first_controller()
{
    Pool pool;
    onMainThread(ctrller, @selector(select_first_controller), nil);
}

void WindowBridge::continueButtonEnabled(bool enabled)
{
    Pool pool;
    onMainThread(ctrller, enabled ? @selector(enableContinue) : @selector(disableContinue), nil);
}

void WindowBridge::deviceLabelSetStringVal(const std::string& s)
{
    Pool pool;
    onMainThread(ctrller, @selector(deviceLabelSetStringVal:), text(s));
}

void WindowBridge::stopworking()
{
    Pool pool;
    onMainThread(ctrller, @selector(stopworking), nil);
}

void WindowBridge::showSuccessfulWindow()
{
    Pool pool;
    onMainThread(ctrller, @selector(showSuccessfulWindow), nil);
}

void WindowBridge::showFailureWindow()
{
    Pool pool;
    onMainThread(ctrller, @selector(showFailureWindow), nil);
}

void WindowBridge::showDetails(const std::string& s)
{
    Pool pool;
    onMainThread(ctrller, @selector(setDetailsText:), text(s));
}

void WindowBridge::holdSystemAwake(bool on)
{
    Pool pool;
    onMainThread(ctrller, @selector(holdAwake:), [NSNumber numberWithBool:on]);
}

void WindowBridge::show_error_and_exit(const std::string& s)
{
    Pool pool;
    onMainThread(ctrller, @selector(show_error_and_exit:), text(s));
}

std::string WindowBridge::localized(const std::string& key)
{
    Pool pool;
    NSString* t = [ctrller localized:text(key)];
    const char* utf8 = t != nil ? [t UTF8String] : nullptr;
    return utf8 ? std::string(utf8) : key;
}

}  // namespace macapp
