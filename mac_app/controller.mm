// The program's one GUI class, `controller`: both windows built in code, every action and
// delegate method, the wizard's states, and the hooks the tests and --auto-continue drive it by.
// About 1100 lines, over the usual 600: one class with two windows, whose layout, states and
// actions read together; the model and discovery it shows are in mac_app/model/.
#import "controller.h"

#import "tabviewdel.h"
#import "treeview.h"
#import "window_bridge.h"

#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "update/update_details.h"
#include "update/update_window.h"
#include "mac_app/lifecycle.h"
#include "mac_app/model/discovery.h"
#include "mac_app/model/qvtool.h"
#include "identify/chip_table.h"
#include "sys/clock.h"

controller* ctrller = nil;

// The progress thread polls the update's end this often.
static const unsigned kProgressPollMs = 50;
// How often an unattended run looks at its bound (the bound itself is kept on the clock seam).
static const NSTimeInterval kAutoContinueTick = 0.1;

namespace {

NSTextField* makeLabel(NSView* parent, NSRect frame)
{
    NSTextField* label = [[NSTextField alloc] initWithFrame:frame];
    [label setEditable:NO];
    [label setSelectable:NO];
    [label setBezeled:NO];
    [label setDrawsBackground:NO];
    [parent addSubview:label];
    return label;
}

NSTextField* makeField(NSView* parent, NSRect frame)
{
    NSTextField* field = [[NSTextField alloc] initWithFrame:frame];
    [field setEditable:NO];
    [field setSelectable:YES];
    [field setBezeled:YES];
    [field setDrawsBackground:YES];
    [parent addSubview:field];
    return field;
}

NSButton* makeButton(NSView* parent, NSRect frame, id target, SEL action)
{
    NSButton* button = [[NSButton alloc] initWithFrame:frame];
    [button setBezelStyle:NSRoundedBezelStyle];
    [button setTarget:target];
    [button setAction:action];
    [parent addSubview:button];
    return button;
}

NSString* jsonString(NSString* s)
{
    NSMutableString* out = [NSMutableString stringWithString:@"\""];
    const NSUInteger n = [s length];
    for (NSUInteger i = 0; i < n; ++i) {
        const unichar c = [s characterAtIndex:i];
        switch (c) {
            case '"': [out appendString:@"\\\""]; break;
            case '\\': [out appendString:@"\\\\"]; break;
            case '\n': [out appendString:@"\\n"]; break;
            case '\r': [out appendString:@"\\r"]; break;
            case '\t': [out appendString:@"\\t"]; break;
            default:
                if (c < 0x20 || c > 0x7E)
                    [out appendFormat:@"\\u%04x", (unsigned)c];
                else
                    [out appendFormat:@"%C", c];
        }
    }
    [out appendString:@"\""];
    return out;
}

const char* jsonBool(BOOL b)
{
    return b ? "true" : "false";
}

NSString* controlJSON(NSControl* c)
{
    return [NSString stringWithFormat:@"{\"text\": %@, \"enabled\": %s, \"hidden\": %s}",
                                      jsonString([c stringValue] ? [c stringValue] : @""),
                                      jsonBool([c isEnabled]), jsonBool([c isHidden])];
}

NSString* buttonJSON(NSButton* b)
{
    return [NSString stringWithFormat:@"{\"title\": %@, \"enabled\": %s, \"hidden\": %s}",
                                      jsonString([b title] ? [b title] : @""), jsonBool([b isEnabled]),
                                      jsonBool([b isHidden])];
}

// Polls of the progress thread so far: the indicator must stop at the first poll after the update
// reports, which the clock alone cannot show when other threads move it too.
static unsigned gProgressPolls = 0;

// The body of the progress thread.
void progressbar_func()
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    macapp::onMainThread(ctrller, @selector(startworking), nil);
    for (;;) {
        __atomic_add_fetch(&gProgressPolls, 1u, __ATOMIC_SEQ_CST);
        if ([ctrller isFinished]) break;
        sys::sleepMs(kProgressPollMs);
    }
    [ctrller progressStoppedAt:sys::nowMs() poll:__atomic_load_n(&gProgressPolls, __ATOMIC_SEQ_CST)];
    macapp::onMainThread(ctrller, @selector(stopworking), nil);
    [pool release];
}

}  // namespace

@implementation controller

- (id)initWithBundle:(NSBundle*)aBundle
{
    if ((self = [super init]) != nil) {
        bundle = [aBundle retain];
        descWelcome = [@"Welcome to the Corvane Firmware Update Utility.\n\nThis application is used to update your "
                       @"Corvane Device. Make sure the drive you want to update is the ONLY external USB drive "
                       @"connected to your computer before you continue." retain];
        descUpdating = [@"Updating firmware...\nDO NOT UNPLUG THE DEVICE\n" retain];
        descSuccess = [@"Update Successful!\n\nYour device has been updated.\nPlease power cycle your device before using.\n"
                           retain];
        descFail = [@"Update Fails!\n\nYour device has not be updated.\nPlease try again.\n" retain];
        s_ok = [@"Ok" retain];
        s_cancel = [@"Cancel" retain];
        s_warning = [@"Warning" retain];
        s_error = [@"Error" retain];
        s_attention = [@"Attention" retain];
        treeModel = [[treeview alloc] init];
        tabDelegate = [[tabviewdel alloc] init];
    }
    return self;
}

- (NSString*)localized:(NSString*)key
{
    NSString* s = NSLocalizedStringFromTableInBundle(key, nil, bundle, @"");
    return (s != nil && [s length] > 0) ? s : key;
}

// MARK: building the windows

- (void)buildWelcomeWindow
{
    welcomeWindow = [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 480, 300)
                                                styleMask:(NSWindowStyleMaskTitled | NSWindowStyleMaskClosable
                                                           | NSWindowStyleMaskMiniaturizable)
                                                  backing:NSBackingStoreBuffered
                                                    defer:NO];
    [welcomeWindow setReleasedWhenClosed:NO];
    [welcomeWindow setTitle:[self localized:@"welcome_window_title"]];
    [welcomeWindow setDelegate:(id)self];   // its close box is refused during an update
    NSView* content = [welcomeWindow contentView];

    mainDescriptionText = makeLabel(content, NSMakeRect(24, 120, 432, 162));
    [[mainDescriptionText cell] setWraps:YES];
    [mainDescriptionText setFont:[NSFont systemFontOfSize:13]];
    deviceLabel = makeLabel(content, NSMakeRect(24, 76, 432, 38));   // a row takes two lines
    [[deviceLabel cell] setWraps:YES];
    updateProgressIndicator = [[NSProgressIndicator alloc] initWithFrame:NSMakeRect(24, 54, 432, 16)];
    [updateProgressIndicator setIndeterminate:YES];
    [content addSubview:updateProgressIndicator];
    exitButton = makeButton(content, NSMakeRect(266, 14, 90, 30), self, @selector(exitprogram:));
    [exitButton setTitle:[self localized:@"exit_button"]];
    continueButton = makeButton(content, NSMakeRect(366, 14, 90, 30), self, @selector(continueButtonClick:));
    [continueButton setTitle:[self localized:@"continue_button"]];
    [continueButton setEnabled:NO];

    detailsButton = makeButton(content, NSMakeRect(24, 14, 100, 30), self, @selector(toggleDetails:));
    [detailsButton setTitle:[self localized:@"details_button"]];
    [detailsButton setButtonType:NSPushOnPushOffButton];
    [detailsButton setHidden:YES];
    saveDetailsButton = makeButton(content, NSMakeRect(130, 14, 100, 30), self, @selector(saveDetails:));
    [saveDetailsButton setTitle:[self localized:@"save_details_button"]];
    [saveDetailsButton setHidden:YES];
    detailsScroll = [[NSScrollView alloc] initWithFrame:NSMakeRect(24, 54, 432, 232)];
    [detailsScroll setHasVerticalScroller:YES];
    [detailsScroll setBorderType:NSBezelBorder];
    detailsView = [[NSTextView alloc] initWithFrame:NSMakeRect(0, 0, 414, 232)];
    [detailsView setEditable:NO];
    [detailsView setFont:[NSFont userFixedPitchFontOfSize:11]];
    [detailsScroll setDocumentView:detailsView];
    [detailsScroll setHidden:YES];
    [content addSubview:detailsScroll];
    detailsText = [@"" retain];
}

- (void)setDetailsText:(NSString*)text
{
    [detailsText release];
    detailsText = [text copy];
    [detailsView setString:detailsText];
}

// The disclosure: the details over the description, or the description again.
- (void)toggleDetails:(id)sender
{
    (void)sender;
    const BOOL show = [detailsScroll isHidden];
    [detailsScroll setHidden:!show];
    [mainDescriptionText setHidden:show];
    [saveDetailsButton setHidden:!show];
    [detailsButton setState:show ? NSOnState : NSOffState];
}

- (NSString*)detailsSavePath
{
    NSSavePanel* panel = [NSSavePanel savePanel];
    [panel setTitle:[self localized:@"save_details_button"]];
    if ([panel runModalForDirectory:NSHomeDirectory() file:@"FwUpdateMac-details.txt"] != NSOKButton)
        return nil;
    return [panel filename];
}

- (void)saveDetails:(id)sender
{
    (void)sender;
    NSString* path = [self detailsSavePath];
    if (path == nil)
        return;
    NSData* data = [detailsText dataUsingEncoding:NSUTF8StringEncoding];
    if (![data writeToFile:path atomically:YES])
        [self runAlertWithTitle:s_error
                        message:[NSString stringWithFormat:@"%@ %@", [self localized:@"details_not_saved"], path]
                  defaultButton:s_ok
                alternateButton:nil];
}

// The system's own sleep assertion, taken through the process's activity (GNUstep's gives no
// object back: the flag is what the program knows).
- (void)holdAwake:(NSNumber*)on
{
    if ([on boolValue] && !awake) {
        awakeActivity = [[[NSProcessInfo processInfo]
            beginActivityWithOptions:(NSActivityUserInitiated | NSActivityIdleSystemSleepDisabled)
                              reason:@"A firmware update is being written"] retain];
        awake = YES;
    } else if (![on boolValue] && awake) {
        if (awakeActivity != nil)
            [[NSProcessInfo processInfo] endActivity:awakeActivity];
        [awakeActivity release];
        awakeActivity = nil;
        awake = NO;
    }
}

- (BOOL)holdingAwake
{
    return awake;
}

- (NSTextField*)diskField:(NSView*)page x:(CGFloat)x y:(CGFloat)y
{
    return makeField(page, NSMakeRect(x + 96, y, 124, 22));
}

- (void)buildDiskPage:(NSView*)page
{
    // Two columns, disk 1 on the left and disk 2 on the right.
    const CGFloat xs[2] = {8, 240};
    NSTextField** infoLabels[2] = {&disk1_info_static_label, &disk2_info_static_label};
    NSTextField** snLabels[2] = {&disk1_SN_static_label, &disk2_SN_static_label};
    NSTextField** modeLabels[2] = {&disk1_mode_static_label, &disk2_mode_static_label};
    NSTextField** sizeLabels[2] = {&disk1_physize_static_label, &disk2_physize_static_label};
    NSTextField** labels[2] = {&disk0label, &disk1label};
    NSTextField** models[2] = {&disk0modelfield, &disk1modelfield};
    NSTextField** serials[2] = {&disk0serialfield, &disk1serialfield};
    NSTextField** modes[2] = {&disk0modefield, &disk1modefield};
    NSTextField** sizes[2] = {&disk0sizefield, &disk1sizefield};
    NSTextField** picmodes[2] = {&disk0picmodefield, &disk1picmodefield};
    NSTextField** caplabels[2] = {&disk0caplabel, &disk1caplabel};
    NSTextField** oldnew[2] = {&disk0oldnewlabel, &disk1oldnewlabel};
    NSImageView** pictures[2] = {&disk0cappicture, &disk1cappicture};
    NSButton** clears[2] = {&cleardisk0button, &cleardisk1button};
    for (int i = 0; i < 2; ++i) {
        const CGFloat x = xs[i];
        *infoLabels[i] = makeLabel(page, NSMakeRect(x, 290, 100, 20));
        [*infoLabels[i] setFont:[NSFont boldSystemFontOfSize:12]];
        *labels[i] = makeLabel(page, NSMakeRect(x + 96, 290, 124, 20));
        *models[i] = makeField(page, NSMakeRect(x, 260, 220, 22));
        *snLabels[i] = makeLabel(page, NSMakeRect(x, 226, 90, 20));
        *serials[i] = [self diskField:page x:x y:226];
        *modeLabels[i] = makeLabel(page, NSMakeRect(x, 194, 90, 20));
        *modes[i] = [self diskField:page x:x y:194];
        *sizeLabels[i] = makeLabel(page, NSMakeRect(x, 162, 90, 20));
        *sizes[i] = [self diskField:page x:x y:162];
        *picmodes[i] = makeLabel(page, NSMakeRect(x, 130, 220, 20));
        *pictures[i] = [[NSImageView alloc] initWithFrame:NSMakeRect(x, 84, 40, 40)];
        [page addSubview:*pictures[i]];
        *caplabels[i] = makeLabel(page, NSMakeRect(x + 48, 100, 172, 20));
        *oldnew[i] = makeLabel(page, NSMakeRect(x + 48, 80, 172, 20));
        *clears[i] = makeButton(page, NSMakeRect(x, 40, 160, 30), self, @selector(configWarning1:));
        [*clears[i] setTitle:[self localized:@"clear_disk"]];
    }
}

- (void)buildRebuildTab:(NSView*)page
{
    disk1_rebuild_static_label = makeLabel(page, NSMakeRect(10, 230, 90, 20));
    rebuilddisk0field = makeField(page, NSMakeRect(10, 200, 160, 22));
    disk2_rebuild_static_label = makeLabel(page, NSMakeRect(280, 230, 90, 20));
    rebuilddisk1field = makeField(page, NSMakeRect(280, 200, 160, 22));
    rebuild0to1button = makeButton(page, NSMakeRect(180, 206, 90, 28), nil, NULL);
    rebuild1to0button = makeButton(page, NSMakeRect(180, 170, 90, 28), nil, NULL);
    rebuildlabel = makeLabel(page, NSMakeRect(10, 120, 300, 20));
    levelindicator = [[NSLevelIndicator alloc] initWithFrame:NSMakeRect(10, 94, 360, 18)];
    [levelindicator setMinValue:0];
    [levelindicator setMaxValue:100];
    [page addSubview:levelindicator];
    percentagefield = makeLabel(page, NSMakeRect(380, 94, 60, 20));
}

- (void)buildConfigureTab:(NSView*)page
{
    raid_config_radio_box = [[NSBox alloc] initWithFrame:NSMakeRect(6, 96, 220, 190)];
    NSButtonCell* prototype = [[NSButtonCell alloc] init];
    [prototype setButtonType:NSRadioButton];
    raidconfigradiobutton = [[NSMatrix alloc] initWithFrame:NSMakeRect(8, 8, 196, 136)
                                                       mode:NSRadioModeMatrix
                                                  prototype:prototype
                                               numberOfRows:4
                                            numberOfColumns:1];
    [prototype release];
    [raidconfigradiobutton setCellSize:NSMakeSize(196, 30)];
    [raidconfigradiobutton setTarget:self];
    [raidconfigradiobutton setAction:@selector(radio_changed:)];
    [[raid_config_radio_box contentView] addSubview:raidconfigradiobutton];
    [page addSubview:raid_config_radio_box];

    raid_status_box = [[NSBox alloc] initWithFrame:NSMakeRect(234, 96, 210, 190)];
    raidmodelabel = makeLabel([raid_status_box contentView], NSMakeRect(8, 100, 180, 40));
    [page addSubview:raid_status_box];

    confirmbutton = makeButton(page, NSMakeRect(6, 50, 150, 30), nil, NULL);
    clearconfigbutton = makeButton(page, NSMakeRect(166, 50, 150, 30), nil, NULL);
}

- (void)buildConfigWindow
{
    configWindow = [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 640, 470)
                                               styleMask:(NSWindowStyleMaskTitled | NSWindowStyleMaskClosable
                                                          | NSWindowStyleMaskMiniaturizable)
                                                 backing:NSBackingStoreBuffered
                                                   defer:NO];
    [configWindow setReleasedWhenClosed:NO];
    [configWindow setTitle:[self localized:@"config_window_title"]];
    mainview = [[NSView alloc] initWithFrame:NSMakeRect(0, 0, 640, 470)];
    [configWindow setContentView:mainview];

    controllerselectbox = [[NSComboBox alloc] initWithFrame:NSMakeRect(20, 424, 440, 26)];
    [controllerselectbox setEditable:NO];
    [controllerselectbox setNumberOfVisibleItems:6];
    [mainview addSubview:controllerselectbox];
    refresh_button = makeButton(mainview, NSMakeRect(470, 422, 150, 30), self, @selector(refresh:));

    mainguibutton = makeButton(mainview, NSMakeRect(20, 340, 96, 40), self, @selector(switchguimain:));
    [mainguibutton setBordered:NO];
    [mainguibutton setImagePosition:NSImageOnly];
    showdiskguibutton = makeButton(mainview, NSMakeRect(20, 290, 96, 40), self, @selector(switchguishowdisk:));
    [showdiskguibutton setBordered:NO];
    [showdiskguibutton setImagePosition:NSImageOnly];

    treeScroll = [[NSScrollView alloc] initWithFrame:NSMakeRect(20, 64, 96, 210)];
    [treeScroll setHasVerticalScroller:YES];
    tree = [[NSOutlineView alloc] initWithFrame:NSMakeRect(0, 0, 96, 210)];
    NSTableColumn* column = [[NSTableColumn alloc] initWithIdentifier:@"device"];
    [column setWidth:90];
    [tree addTableColumn:column];
    [tree setOutlineTableColumn:column];
    [column release];
    [treeScroll setDocumentView:tree];
    [mainview addSubview:treeScroll];

    guitab = [[NSTabView alloc] initWithFrame:NSMakeRect(130, 56, 490, 356)];
    [guitab setTabViewType:NSNoTabsBezelBorder];
    NSTabViewItem* raidPage = [[NSTabViewItem alloc] initWithIdentifier:@"raid"];
    NSTabViewItem* diskPage = [[NSTabViewItem alloc] initWithIdentifier:@"disk"];
    NSView* raidView = [[NSView alloc] initWithFrame:NSMakeRect(0, 0, 480, 346)];
    NSView* diskView = [[NSView alloc] initWithFrame:NSMakeRect(0, 0, 480, 346)];
    [raidPage setView:raidView];
    [diskPage setView:diskView];

    tabview = [[NSTabView alloc] initWithFrame:NSMakeRect(4, 4, 472, 338)];
    configuretab = [[NSTabViewItem alloc] initWithIdentifier:@"0"];
    rebuildtab = [[NSTabViewItem alloc] initWithIdentifier:@"1"];
    NSView* configureView = [[NSView alloc] initWithFrame:NSMakeRect(0, 0, 460, 300)];
    NSView* rebuildView = [[NSView alloc] initWithFrame:NSMakeRect(0, 0, 460, 300)];
    [self buildConfigureTab:configureView];
    [self buildRebuildTab:rebuildView];
    [configuretab setView:configureView];
    [rebuildtab setView:rebuildView];
    [configureView release];
    [rebuildView release];
    [tabview addTabViewItem:configuretab];
    [tabview addTabViewItem:rebuildtab];
    [raidView addSubview:tabview];

    [self buildDiskPage:diskView];

    [guitab addTabViewItem:raidPage];
    [guitab addTabViewItem:diskPage];
    [raidPage release];
    [diskPage release];
    [raidView release];
    [diskView release];
    [mainview addSubview:guitab];

    warmboot_button = makeButton(mainview, NSMakeRect(130, 14, 160, 30), self, @selector(warmboot:));
    [warmboot_button setTitle:[self localized:@"warm_boot"]];
    reconfigure_button = makeButton(mainview, NSMakeRect(300, 14, 200, 30), self, @selector(configWarning1:));
    [reconfigure_button setTitle:[self localized:@"erase_and_reconfigure"]];
}

- (void)buildMenu
{
    NSMenu* menu = [[NSMenu alloc] initWithTitle:[self localized:@"app_menu_title"]];
    // The RAID window's item is switched off by hand for the span of an update.
    [menu setAutoenablesItems:NO];
    raidMenuItem = [menu addItemWithTitle:[self localized:@"menu_raid_window"]
                                   action:@selector(showConfigWindow)
                            keyEquivalent:@""];
    [menu addItemWithTitle:[self localized:@"menu_quit"] action:@selector(exitprogram:) keyEquivalent:@"q"];
    for (NSInteger i = 0; i < [menu numberOfItems]; ++i)
        [[menu itemAtIndex:i] setTarget:self];
    [NSApp setMainMenu:menu];
    [menu release];
}

- (void)buildInterface
{
    if (welcomeWindow != nil)
        return;
    [self buildWelcomeWindow];
    [self buildConfigWindow];
    if (NSApp != nil)
        [self buildMenu];
    [self awakeFromNib];
}

// MARK: launch

- (void)awakeFromNib
{
    [self cleargui];
    [self setGUIStrings];
    [controllerselectbox setDelegate:self];
    [raidconfigradiobutton setTarget:self];
    [tabview setDelegate:tabDelegate];
    [welcomeWindow center];
    [configuretab setIdentifier:@"0"];
    [rebuildtab setIdentifier:@"1"];
}

- (void)applicationDidFinishLaunching:(NSNotification*)note
{
    (void)note;
    ctrller = self;
    bool started = true;
    try {
        std::thread(raid::start_device_notification).detach();
    } catch (const std::exception&) {
        started = false;
    }
    if (!started)
        [self show_error_and_exit:@"Error creating device notification thread"];
    [self prepareWindows];
    if (autoContinue)
        [self startAutoContinue];
}

- (void)prepareWindows
{
    [treeModel loadFromModel:raid::j.tree];
    [tree setDataSource:(id)treeModel];
    [tree reloadData];
    [s_ok release];
    [s_cancel release];
    [s_warning release];
    [s_error release];
    [s_attention release];
    s_ok = [[self localized:@"Ok"] retain];
    s_cancel = [[self localized:@"Cancel"] retain];
    s_warning = [[self localized:@"Warning"] retain];
    s_error = [[self localized:@"Error"] retain];
    s_attention = [[self localized:@"Attention"] retain];
    [mainDescriptionText setStringValue:descWelcome];
    [deviceLabel setStringValue:@""];
    [updateProgressIndicator setHidden:YES];   // idle until an update runs
    [self showWelcomeWindow];
    [configWindow orderOut:self];
}

- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(AppSender)app
{
    (void)app;
    return YES;
}

- (void)applicationWillTerminate:(NSNotification*)note
{
    (void)note;
    if (autoContinue)
        [self leaveWithStatus:0];   // with its report, and the status of the run
    macapp::beforeExit();
}

// The words every refusal during an update uses.
- (void)refuseDuringUpdate
{
    [self runAlertWithTitle:s_warning message:[self localized:@"update_running"] defaultButton:s_ok alternateButton:nil];
}

- (NSApplicationTerminateReply)applicationShouldTerminate:(AppSender)app
{
    (void)app;
    if (![self updateRunning])
        return NSTerminateNow;
    [self refuseDuringUpdate];
    return NSTerminateCancel;
}

- (BOOL)windowShouldClose:(id)sender
{
    // Closing the wizard would end the program (it is the last window) while the flash is written.
    if (sender != welcomeWindow || ![self updateRunning])
        return YES;
    [self refuseDuringUpdate];
    return NO;
}

// MARK: the wizard

- (void)showWelcomeWindow
{
    [welcomeWindow setBackgroundColor:[NSColor whiteColor]];
    [welcomeWindow center];
    [welcomeWindow makeKeyAndOrderFront:self];
    [continueButton setEnabled:NO];
}

- (void)hideWelcomeWindow
{
    [welcomeWindow orderOut:self];
}

- (void)continueButtonClick:(id)sender
{
    (void)sender;
    if ([self updateRunning])
        return;
    [continueButton setHidden:YES];
    [deviceLabel setHidden:YES];
    [welcomeWindow orderOut:self];
    [self showUpdatingConfigWindow];
}

// What starts another update or reaches the controller under update is off while one runs.
- (void)enableActionsBesideUpdate:(BOOL)on
{
    [raidMenuItem setEnabled:on];
    [refresh_button setEnabled:on];
    [warmboot_button setEnabled:on];
    [reconfigure_button setEnabled:on];
    // The details are those of the last update: until this one has ended there are none to show.
    [detailsButton setEnabled:on];
    [saveDetailsButton setEnabled:on];
}

- (BOOL)updateRunning
{
    return updating || raid::update_thread_running();
}

- (void)showUpdatingConfigWindow
{
    // One update at a time: a second progress thread and update would share the wizard and the
    // bridge with the first.
    if ([self updateRunning])
        return;
    updating = YES;
    // A second update (the RAID window's re-configure after a first) starts its page afresh: the
    // progress animates again until this update reports.
    __atomic_store_n(&updateFinished, (BOOL)NO, __ATOMIC_SEQ_CST);
    progressEnded = NO;
    [self setDetailsText:@""];
    if (![detailsScroll isHidden])
        [self toggleDetails:nil];
    [detailsButton setHidden:YES];
    [self enableActionsBesideUpdate:NO];
    [mainDescriptionText setStringValue:descUpdating];
    [continueButton setHidden:YES];
    [exitButton setHidden:YES];
    [configWindow orderOut:self];
    try {
        std::thread(progressbar_func).detach();
    } catch (const std::exception&) {
        firmware::macPrint("The progress thread could not be started.");
    }
    [self showWelcomeWindow];
    [self updateFirmware];
}

// Starts the update of the one attached controller. Nothing may leave the wizard in its Updating
// state: with no controller, several, a chip no update serves or a thread that cannot start, the
// wizard shows the Failure state and the reason goes to standard output.
- (void)updateFirmware
{
    // Once started, this update's thread may have ended before its result has reached the window:
    // until then it is still the update of this page.
    if (raid::update_thread_running() || updateStarted) {
        firmware::macPrint("No update started: an update is already running.");
        return;
    }
    std::string reason;
    {
        std::lock_guard<std::recursive_mutex> lock(raid::j.list_lock());
        const size_t count = raid::j.chips.size();
        // The list may lag behind the bus: the devices attached now are counted as well.
        const int attached = count == 1 ? raid::j.attached_devices() : 1;
        if (raid::rebuild_pending()) {
            reason = "No update started: the device list is being rebuilt after a device left.";
        } else if (count == 1 && attached != 1) {
            reason = "No update started: " + std::to_string(attached < 0 ? 0 : attached) +
                     " devices are attached; only one may be while updating.";
        } else if (count != 1) {
            reason = count == 0 ? "No update started: no controller is attached."
                                : "No update started: " + std::to_string(count) +
                                      " controllers are attached; only one may be while updating.";
        } else {
            raid::qvchip& chip = raid::j.chips[0];
            int started = -1;
            switch (vendor::chipRowOfMac(chip.chip_type()).macUpdate) {
                case vendor::MacUpdate::Qvd528: started = chip.QVD528FirmwareUpdate(); break;
                case vendor::MacUpdate::Qvr298: started = chip.QVR298FirmwareUpdate(); break;
                case vendor::MacUpdate::Qvd529: started = chip.QVD529FirmwareUpdate(); break;
                case vendor::MacUpdate::None:
                    reason = "No update started: chip type " + std::to_string(chip.chip_type()) +
                             " has no firmware update.";
                    break;
            }
            if (reason.empty() && started != 0)
                reason = "No update started: the updating thread could not be created.";
            updateStarted = reason.empty();
        }
    }
    if (!reason.empty()) {
        firmware::macPrint(reason);
        firmware::UpdateDetails details;
        details.cause = reason;
        [self setDetailsText:[NSString stringWithUTF8String:details.text().c_str()]];
        [self showFailureWindow];
    }
}

- (void)finishWith:(NSString*)description line:(const char*)line
{
    firmware::macPrint(line);
    [mainDescriptionText setStringValue:description];
    [exitButton setHidden:NO];
    [detailsButton setHidden:NO];
    finishedAtMs = sys::nowMs();
    __atomic_store_n(&updateFinished, (BOOL)YES, __ATOMIC_SEQ_CST);
    finishedAtPoll = __atomic_load_n(&gProgressPolls, __ATOMIC_SEQ_CST);
    updating = NO;
    updateStarted = NO;
    [self enableActionsBesideUpdate:YES];
    [configWindow orderOut:self];
    [self showWelcomeWindow];
}

- (void)showSuccessfulWindow
{
    [self finishWith:descSuccess line:"Update Successfully!"];
}

- (void)showFailureWindow
{
    [self finishWith:descFail line:"Update Fails!"];
}

- (BOOL)isFinished
{
    return __atomic_load_n(&updateFinished, __ATOMIC_SEQ_CST);
}

- (void)exitprogram:(id)sender
{
    (void)sender;
    if ([self updateRunning]) {
        [self refuseDuringUpdate];
        return;
    }
    [self leaveWithStatus:0];
}

- (void)continueButtonEnabled:(BOOL)enabled
{
    [continueButton setEnabled:enabled];
    if (enabled && autoContinue && ![self isFinished] && ![continueButton isHidden])
        [self performSelector:@selector(autoPressContinue) withObject:nil afterDelay:0.05];
}

- (void)enableContinue
{
    [self continueButtonEnabled:YES];
}

- (void)disableContinue
{
    [self continueButtonEnabled:NO];
}

- (void)autoPressContinue
{
    if ([continueButton isEnabled] && ![continueButton isHidden])
        [continueButton performClick:self];
}

- (void)startAutoContinue
{
    autoStartMs = sys::nowMs();
    [autoTimer invalidate];
    autoTimer = [NSTimer scheduledTimerWithTimeInterval:kAutoContinueTick
                                                 target:self
                                               selector:@selector(autoContinueTick)
                                               userInfo:nil
                                                repeats:YES];
}

// Once an update has started it is waited for to its end (every procedure's waits are bounded):
// ending the program in the middle would leave the flash half written.
- (void)autoContinueTick
{
    if (!autoContinue || updating || [self isFinished] || sys::nowMs() - autoStartMs < autoLimitMs)
        return;
    char line[96];
    std::snprintf(line, sizeof line, "auto-continue: no update started within %llu s.",
                  (unsigned long long)(autoLimitMs / 1000));
    firmware::macPrint(line);
    [self leaveWithStatus:1];
}

- (void)deviceLabelSetStringVal:(NSString*)text
{
    [deviceLabel setStringValue:text];
}

- (void)show_message:(NSString*)text
{
    [self runAlertWithTitle:s_attention message:text defaultButton:s_ok alternateButton:nil];
}

- (void)show_error_and_exit:(NSString*)text
{
    [self runAlertWithTitle:[self localized:@"error"] message:text defaultButton:s_ok alternateButton:nil];
    // Ending now would cut the write: the program stays until the update has ended, and the
    // user leaves it then.
    if ([self updateRunning]) {
        firmware::macPrint("The program does not end while the firmware update runs.");
        return;
    }
    [self leaveWithStatus:3];
}

- (void)startworking
{
    working = YES;
    [updateProgressIndicator setHidden:NO];
    [updateProgressIndicator setUsesThreadedAnimation:YES];
    [updateProgressIndicator startAnimation:self];
}

- (void)stopworking
{
    working = NO;
    [updateProgressIndicator stopAnimation:self];
    [updateProgressIndicator setHidden:YES];
    if ([self isFinished])
        progressEnded = YES;
    if (autoContinue && [self isFinished])
        [self leaveWithStatus:0];
}

// MARK: the RAID window

- (void)showConfigWindow
{
    if ([self updateRunning])
        return;   // its item is off; nothing else may bring the window up either
    [configWindow center];
    [configWindow makeKeyAndOrderFront:self];
    [configWindow display];
}

- (void)showConfigWindowAlone
{
    [self hideWelcomeWindow];
    [self showConfigWindow];
}

- (void)hideConfigWindow
{
    [configWindow orderOut:self];
}

- (void)setGUIStrings
{
    [confirmbutton setTitle:[self localized:@"create_raid"]];
    [clearconfigbutton setTitle:[self localized:@"delete_raid"]];
    [raid_config_radio_box setTitle:[self localized:@"raid_configuration"]];
    [configuretab setLabel:[self localized:@"configuration_tab"]];
    [rebuildtab setLabel:[self localized:@"rebuild"]];
    [rebuildlabel setStringValue:[self localized:@"rebuild_progress"]];
    [disk1_SN_static_label setStringValue:[self localized:@"SN"]];
    [disk2_SN_static_label setStringValue:[self localized:@"SN"]];
    [disk1_info_static_label setStringValue:[self localized:@"disk_1"]];
    [disk1_rebuild_static_label setStringValue:[self localized:@"disk_1"]];
    [disk2_info_static_label setStringValue:[self localized:@"disk_2"]];
    [disk2_rebuild_static_label setStringValue:[self localized:@"disk_2"]];
    [disk1_physize_static_label setStringValue:[self localized:@"phy_size"]];
    [disk2_physize_static_label setStringValue:[self localized:@"phy_size"]];
    [disk1_mode_static_label setStringValue:[self localized:@"mode"]];
    [disk2_mode_static_label setStringValue:[self localized:@"mode"]];
    [raid_status_box setTitle:[self localized:@"raid_status"]];
    [refresh_button setTitle:[self localized:@"refresh_button"]];
    [rebuild0to1button setTitle:[[self localized:@"rebuild"] stringByAppendingString:@"->"]];
    [rebuild1to0button setTitle:[@"<-" stringByAppendingString:[self localized:@"rebuild"]]];
    NSString* levels[4] = {@"raid_level_0", @"raid_level_1", @"raid_level_2", @"raid_level_3"};
    for (int row = 0; row < 4; ++row)
        [[raidconfigradiobutton cellAtRow:row column:0] setTitle:[self localized:levels[row]]];
    [self switchguimain:nil];
}

- (void)cleargui
{
    [treeScroll setHidden:YES];
    [tree setHidden:YES];
    NSTextField* emptied[] = {disk0modelfield, disk0serialfield, disk0modefield, disk0sizefield,
                              disk1modelfield, disk1serialfield, disk1modefield, disk1sizefield,
                              rebuilddisk0field, rebuilddisk1field, disk0oldnewlabel, disk1oldnewlabel,
                              disk0picmodefield, disk1picmodefield, raidmodelabel, disk0caplabel,
                              disk1caplabel, disk0label, disk1label};
    for (size_t i = 0; i < sizeof emptied / sizeof emptied[0]; ++i)
        [emptied[i] setStringValue:@""];
    [cleardisk0button setEnabled:NO];
    [cleardisk0button setHidden:YES];
    [cleardisk1button setEnabled:NO];
    [cleardisk1button setHidden:YES];
    [rebuild0to1button setEnabled:NO];
    [rebuild1to0button setEnabled:NO];
    [rebuild0to1button setImage:nil];
    [rebuild1to0button setImage:nil];
    [disk0cappicture setHidden:YES];
    [disk1cappicture setHidden:YES];
    [levelindicator setHidden:YES];
    [rebuildlabel setHidden:YES];
    [percentagefield setHidden:YES];
    [tabview selectTabViewItemAtIndex:0];
    [rebuild1to0button highlight:NO];
    [self refreshgui];
    [self disablegui:NO];
    [mainview setNeedsDisplay:YES];
}

- (void)refreshgui
{
    NSView* views[] = {disk0modelfield, disk0serialfield, disk0modefield, disk0sizefield, disk1modelfield,
                       disk1serialfield, disk1modefield, disk1sizefield, rebuilddisk0field, rebuilddisk1field,
                       disk0oldnewlabel, disk1oldnewlabel, disk0picmodefield, disk1picmodefield, raidmodelabel,
                       disk0caplabel, disk1caplabel, disk0label, disk1label, cleardisk0button, cleardisk1button,
                       rebuild0to1button, rebuild1to0button, disk0cappicture, disk1cappicture, levelindicator,
                       rebuildlabel, percentagefield, tabview, tree};
    for (size_t i = 0; i < sizeof views / sizeof views[0]; ++i)
        [views[i] setNeedsDisplay:YES];
}

- (void)disablegui:(BOOL)rebuildOnly
{
    [rebuild0to1button setEnabled:NO];
    [rebuild1to0button setEnabled:NO];
    if (!rebuildOnly) {
        [confirmbutton setEnabled:NO];
        [cleardisk0button setEnabled:NO];
        [cleardisk1button setEnabled:NO];
        [clearconfigbutton setEnabled:NO];
    }
}

- (void)stopprogressbar
{
    [levelindicator setHidden:YES];
    [levelindicator setEnabled:NO];
}

- (NSImage*)pageImage:(NSString*)name
{
    NSString* path = [bundle pathForResource:name ofType:@"png"];
    if (path == nil)
        return nil;
    return [[[NSImage alloc] initWithContentsOfFile:path] autorelease];
}

- (void)switchguimain:(id)sender
{
    (void)sender;
    [mainguibutton setImage:[self pageImage:@"RaidST_click"]];
    [showdiskguibutton setImage:[self pageImage:@"SysInfo_normal"]];
    [guitab selectTabViewItemAtIndex:0];
}

- (void)switchguishowdisk:(id)sender
{
    (void)sender;
    [mainguibutton setImage:[self pageImage:@"RaidST_normal"]];
    [showdiskguibutton setImage:[self pageImage:@"SysInfo_click"]];
    [guitab selectTabViewItemAtIndex:1];
}

- (void)radio_changed:(id)sender
{
    (void)sender;
    {
        std::lock_guard<std::recursive_mutex> lock(raid::j.list_lock());
        if (raid::j.chips.empty())
            return;
    }
    if ([raidconfigradiobutton selectedRow] == 3)
        [confirmbutton setEnabled:NO];
}

- (void)comboBoxSelectionDidChange:(NSNotification*)note
{
    (void)note;
    const NSInteger row = [controllerselectbox indexOfSelectedItem];
    if (row < 0)
        return;
    std::lock_guard<std::recursive_mutex> lock(raid::j.list_lock());
    if ((size_t)row >= raid::j.controller_map.size())
        return;
    const int index = raid::j.controller_map[(size_t)row].second;
    if (index < 0 || (size_t)index >= raid::j.chips.size())
        return;
    const raid::controller_t chosen = raid::j.chips[(size_t)index].controller;
    if (chosen == raid::j.current)
        return;
    if (raid::qvchip* selected = raid::j.selected_chip())
        selected->stop_polling();
    raid::j.current = chosen;
    [guitab selectTabViewItemAtIndex:0];
    [self switchguimain:nil];
}

- (void)refresh:(id)sender
{
    (void)sender;
    // A rescan closes every connection, the update thread's among them.
    if ([self updateRunning]) {
        [self refuseDuringUpdate];
        return;
    }
    // The rebuild pauses 2 s before it lists the controllers: on a thread of its own, so the
    // window stays alive meanwhile.
    try {
        std::thread([] {
            NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
            raid::DeviceAdded(nullptr, 0);
            [pool release];
        }).detach();
    } catch (const std::exception&) {
        raid::DeviceAdded(nullptr, 0);
    }
}

- (void)warmboot:(id)sender
{
    (void)sender;
    if ([self updateRunning]) {
        [self refuseDuringUpdate];
        return;
    }
    [self disablegui:NO];
    if (!raid::j.warm_boot())
        [self runAlertWithTitle:s_error
                        message:[self localized:@"warm_boot_failed"]
                  defaultButton:s_ok
                alternateButton:nil];
}

// Re-configuring starts the firmware update of the one attached controller: it takes the checks
// discovery makes before it offers Continue. Nil when it may go on, else what stops it.
- (NSString*)reconfigureRefusal
{
    std::lock_guard<std::recursive_mutex> lock(raid::j.list_lock());
    if (raid::j.chips.size() != 1)
        return nil;   // updateFirmware says why no update starts
    const raid::qvchip& chip = raid::j.chips[0];
    switch (raid::readiness_of(chip.device, chip.chip_id)) {
        case raid::Readiness::AlreadyUpdated: return [NSString stringWithUTF8String:raid::kTextAlreadyUpdated];
        case raid::Readiness::FirmwareIdMismatch: return [NSString stringWithUTF8String:raid::kTextFirmwareIdMismatch];
        case raid::Readiness::Unreadable: return @"The device's firmware version could not be read.";
        case raid::Readiness::NotSupported:
        case raid::Readiness::Offered: return nil;
    }
    return nil;
}

- (void)configWarning1:(id)sender
{
    if ([self updateRunning]) {
        [self refuseDuringUpdate];
        return;
    }
    if (NSString* refusal = [self reconfigureRefusal]) {
        [self show_message:refusal];
        return;
    }
    if ([self runAlertWithTitle:@"Warning:"
                        message:@"This will ERASE all the data on your Corvane device..."
                  defaultButton:@"Yes"
                alternateButton:@"No"] == NSAlertDefaultReturn)
        [self configWarning2:sender];
}

- (void)configWarning2:(id)sender
{
    (void)sender;
    if ([self updateRunning]) {
        [self refuseDuringUpdate];
        return;
    }
    if (NSString* refusal = [self reconfigureRefusal]) {
        [self show_message:refusal];
        return;
    }
    NSString* warning = [@"Are you sure you wnat to ERASE all data and re-configure?\n\n"
        stringByAppendingString:[self localized:@"reconfigure_writes_firmware"]];
    if ([self runAlertWithTitle:@"Warning:" message:warning defaultButton:@"Yes" alternateButton:@"No"] ==
        NSAlertDefaultReturn)
        [self showUpdatingConfigWindow];
}

- (void)showControllerRows:(NSArray*)rows
{
    if ([rows count] == 0) {
        [controllerselectbox removeAllItems];
        [controllerselectbox reloadData];
        bool none;
        {
            std::lock_guard<std::recursive_mutex> lock(raid::j.list_lock());
            none = raid::j.chips.empty();
        }
        if (none) {
            [controllerselectbox setStringValue:@""];
            [deviceLabel setStringValue:@"No available device."];
        }
        return;
    }
    for (NSUInteger i = 0; i < [rows count]; ++i) {
        NSString* row = [rows objectAtIndex:i];
        // The combo box shows each row on one line (a line break in its text field would not draw).
        [controllerselectbox addItemWithObjectValue:[row stringByReplacingOccurrencesOfString:@"\n" withString:@""]];
        [deviceLabel setStringValue:[@"Found drive: " stringByAppendingString:row]];
    }
    [controllerselectbox reloadData];
}

- (void)update_controller_list
{
    macapp::WindowBridge().update_controller_list();
}

- (void)clear_controller_list
{
    [controllerselectbox removeAllItems];
    [controllerselectbox reloadData];
    std::lock_guard<std::recursive_mutex> lock(raid::j.list_lock());
    if (raid::j.chips.empty())
        [controllerselectbox setStringValue:@""];
}

- (void)select_first_controller
{
    {
        std::lock_guard<std::recursive_mutex> lock(raid::j.list_lock());
        if (raid::j.chips.empty())
            return;
    }
    if ([controllerselectbox numberOfItems] == 0)
        return;
    [controllerselectbox selectItemAtIndex:0];
    // Neither GNUstep nor every Cocoa release tells the delegate of a selection made in code.
    [controllerselectbox setStringValue:[controllerselectbox objectValueOfSelectedItem]];
    [self comboBoxSelectionDidChange:nil];
}

// MARK: alerts and the end of the program

- (NSInteger)runAlertWithTitle:(NSString*)title
                       message:(NSString*)message
                 defaultButton:(NSString*)defaultButton
               alternateButton:(NSString*)alternateButton
{
    [welcomeWindow displayIfNeeded];
    [configWindow displayIfNeeded];
    return NSRunAlertPanel(title, @"%@", defaultButton, alternateButton, nil, message);
}

- (void)leaveWithStatus:(int)status
{
    if (autoContinue) {
        [autoTimer invalidate];
        autoTimer = nil;
        if (![[self wizardState] isEqualToString:@"Success"]) {
            if (![self isFinished])
                [self showFailureWindow];
            if (status == 0)
                status = 1;
        }
        if (![self writeReport])
            firmware::macPrint("auto-continue: the report could not be written.");
    }
    [self exitWithStatus:status];
}

- (void)exitWithStatus:(int)status
{
    macapp::beforeExit();
    macapp::endProgram(status);
}

// MARK: state for the driver and tests

- (void)setAutoContinue:(BOOL)on reportPath:(NSString*)path limitMs:(uint64_t)limitMs
{
    autoContinue = on;
    autoLimitMs = limitMs;
    [reportPath release];
    reportPath = [path copy];
}

- (NSString*)wizardState
{
    NSString* text = [mainDescriptionText stringValue];
    if ([text isEqualToString:descSuccess])
        return @"Success";
    if ([text isEqualToString:descFail])
        return @"Failure";
    if ([text isEqualToString:descUpdating])
        return @"Updating";
    return @"Welcome";
}

- (BOOL)isWorking
{
    return working;
}

- (BOOL)progressEnded
{
    return progressEnded;
}

- (uint64_t)finishedAtMs
{
    return finishedAtMs;
}

- (uint64_t)stoppedAtMs
{
    return __atomic_load_n(&stoppedAtMs, __ATOMIC_SEQ_CST);
}

- (void)progressStoppedAt:(uint64_t)ms poll:(unsigned)poll
{
    __atomic_store_n(&stoppedAtPoll, poll, __ATOMIC_SEQ_CST);
    __atomic_store_n(&stoppedAtMs, ms, __ATOMIC_SEQ_CST);
}

- (unsigned)finishedAtPoll
{
    return finishedAtPoll;
}

- (unsigned)stoppedAtPoll
{
    return __atomic_load_n(&stoppedAtPoll, __ATOMIC_SEQ_CST);
}

- (NSString*)reportJSON
{
    NSMutableString* rows = [NSMutableString string];
    for (NSInteger i = 0; i < [controllerselectbox numberOfItems]; ++i)
        [rows appendFormat:@"%@%@", i ? @", " : @"", jsonString([controllerselectbox itemObjectValueAtIndex:i])];
    NSMutableString* json = [NSMutableString string];
    [json appendString:@"{\n"];
    [json appendFormat:@"  \"state\": %@,\n", jsonString([self wizardState])];
    [json appendFormat:@"  \"updateFinished\": %s,\n", jsonBool([self isFinished])];
    [json appendFormat:@"  \"mainDescriptionText\": %@,\n", jsonString([mainDescriptionText stringValue])];
    [json appendFormat:@"  \"deviceLabel\": %@,\n", controlJSON(deviceLabel)];
    [json appendFormat:@"  \"continueButton\": %@,\n", buttonJSON(continueButton)];
    [json appendFormat:@"  \"exitButton\": %@,\n", buttonJSON(exitButton)];
    [json appendFormat:@"  \"updateProgressIndicator\": {\"animating\": %s, \"hidden\": %s},\n", jsonBool(working),
                       jsonBool([updateProgressIndicator isHidden])];
    [json appendFormat:@"  \"welcomeWindow\": {\"visible\": %s},\n", jsonBool([welcomeWindow isVisible])];
    [json appendFormat:@"  \"configWindow\": {\"visible\": %s},\n", jsonBool([configWindow isVisible])];
    [json appendFormat:@"  \"controllerselectbox\": {\"text\": %@, \"items\": [%@]},\n",
                       jsonString([controllerselectbox stringValue]), rows];
    [json appendFormat:@"  \"confirmbutton\": %@,\n", buttonJSON(confirmbutton)];
    [json appendFormat:@"  \"clearconfigbutton\": %@,\n", buttonJSON(clearconfigbutton)];
    [json appendFormat:@"  \"rebuild0to1button\": %@,\n", buttonJSON(rebuild0to1button)];
    [json appendFormat:@"  \"rebuild1to0button\": %@,\n", buttonJSON(rebuild1to0button)];
    [json appendFormat:@"  \"cleardisk0button\": %@,\n", buttonJSON(cleardisk0button)];
    [json appendFormat:@"  \"cleardisk1button\": %@\n", buttonJSON(cleardisk1button)];
    [json appendString:@"}\n"];
    return json;
}

- (BOOL)writeReport
{
    if (reportPath == nil)
        return YES;
    NSData* data = [[self reportJSON] dataUsingEncoding:NSUTF8StringEncoding];
    return [data writeToFile:reportPath atomically:YES];
}

@end
