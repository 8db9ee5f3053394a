// FwUpdateMac: the update wizard and the RAID window over the controllers found by discovery.
#import "controller.h"
#import "window_bridge.h"

#include <cstdio>
#include <memory>
#include <string>

#include "mac_app/lifecycle.h"
#include "mac_app/options.h"
#include "mac_app/registry/devices.h"
#include "mac_app/model/window.h"
#include "sys/resources.h"

int main(int argc, const char* argv[])
{
    macapp::Options options;
    std::string error;
    if (!macapp::parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "FwUpdateMac: %s\n%s", error.c_str(), macapp::usageText());
        return 64;
    }

    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    NSApplication* app = [NSApplication sharedApplication];
    NSBundle* bundle = [NSBundle mainBundle];
    NSString* resources = [bundle resourcePath];
    if (resources != nil)
        sys::setResourceLoader(sys::folderResources([resources fileSystemRepresentation]));

    std::unique_ptr<macapp::DeviceEnvironment> devices;
    if (options.sim.empty()) {
        devices = macapp::makeSystemEnvironment();
    } else {
        devices = macapp::makeSimEnvironment(options.sim, error);
        if (!devices) {
            std::fprintf(stderr, "FwUpdateMac: %s\n", error.c_str());
            [pool release];
            return 64;
        }
    }
    macapp::DeviceEnvironment* env = devices.get();
    macapp::setBeforeExit([env] { env->finish(); });

    macapp::WindowBridge bridge;
    raid::set_window(&bridge);
    controller* c = [[controller alloc] initWithBundle:bundle];
    ctrller = c;
    if (options.autoContinue)
        [c setAutoContinue:YES
                reportPath:options.report.empty() ? nil : [NSString stringWithUTF8String:options.report.c_str()]
                   limitMs:uint64_t(options.autoContinueLimitS) * 1000];
    [c buildInterface];
    [app setDelegate:c];
    if (options.showRaid)
        [c performSelector:@selector(showConfigWindowAlone) withObject:nil afterDelay:0.2];
    [app run];

    macapp::beforeExit();
    macapp::endProgram(0);
}
