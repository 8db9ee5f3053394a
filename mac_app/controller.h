// The program's one GUI class: the update wizard (welcomeWindow) and the RAID configuration
// window (configWindow), both built in code. Other threads reach it through `ctrller` by way of
// the window bridge (window_bridge.h), which carries their calls onto the main thread.
#pragma once
#import "compat.h"

#include <cstdint>

@class treeview;
@class tabviewdel;

@interface controller : NSObject CONTROLLER_PROTOCOLS
{
    NSBundle* bundle;

    // The wizard.
    NSWindow* welcomeWindow;
    NSTextField* mainDescriptionText;
    NSButton* continueButton;
    NSButton* exitButton;
    NSButton* detailsButton;        // the result page's disclosure of what the update did
    NSButton* saveDetailsButton;
    NSScrollView* detailsScroll;
    NSTextView* detailsView;
    NSString* detailsText;
    id awakeActivity;               // the activity that keeps the system from sleeping
    BOOL awake;                     // it is held
    NSTextField* deviceLabel;
    NSProgressIndicator* updateProgressIndicator;
    NSString* descWelcome;
    NSString* descUpdating;
    NSString* descSuccess;
    NSString* descFail;
    BOOL updateFinished;
    NSString* s_ok;
    NSString* s_cancel;
    NSString* s_warning;
    NSString* s_error;
    NSString* s_attention;

    // The RAID window.
    NSWindow* configWindow;
    NSView* mainview;
    NSTabView* guitab;
    NSButton* mainguibutton;
    NSButton* showdiskguibutton;
    NSTabView* tabview;
    NSTabViewItem* configuretab;
    NSTabViewItem* rebuildtab;
    NSComboBox* controllerselectbox;
    NSOutlineView* tree;
    NSScrollView* treeScroll;
    NSButton* refresh_button;
    NSButton* warmboot_button;
    NSButton* reconfigure_button;
    NSMenuItem* raidMenuItem;

    NSTextField* disk0modelfield;
    NSTextField* disk0serialfield;
    NSTextField* disk0modefield;
    NSTextField* disk0sizefield;
    NSTextField* disk0picmodefield;
    NSTextField* disk0caplabel;
    NSTextField* disk0label;
    NSTextField* disk0oldnewlabel;
    NSImageView* disk0cappicture;
    NSTextField* rebuilddisk0field;
    NSButton* cleardisk0button;
    NSTextField* disk1modelfield;
    NSTextField* disk1serialfield;
    NSTextField* disk1modefield;
    NSTextField* disk1sizefield;
    NSTextField* disk1picmodefield;
    NSTextField* disk1caplabel;
    NSTextField* disk1label;
    NSTextField* disk1oldnewlabel;
    NSImageView* disk1cappicture;
    NSTextField* rebuilddisk1field;
    NSButton* cleardisk1button;

    NSTextField* raidmodelabel;
    NSMatrix* raidconfigradiobutton;
    NSBox* raid_config_radio_box;
    NSBox* raid_status_box;
    NSButton* confirmbutton;
    NSButton* clearconfigbutton;

    NSButton* rebuild0to1button;
    NSButton* rebuild1to0button;
    NSLevelIndicator* levelindicator;
    NSTextField* rebuildlabel;
    NSTextField* percentagefield;

    NSTextField* disk1_info_static_label;
    NSTextField* disk2_info_static_label;
    NSTextField* disk1_SN_static_label;
    NSTextField* disk2_SN_static_label;
    NSTextField* disk1_mode_static_label;
    NSTextField* disk2_mode_static_label;
    NSTextField* disk1_physize_static_label;
    NSTextField* disk2_physize_static_label;
    NSTextField* disk1_rebuild_static_label;
    NSTextField* disk2_rebuild_static_label;

    treeview* treeModel;
    tabviewdel* tabDelegate;

    // Running state of the front end.
    BOOL working;             // the progress indicator animates
    BOOL updating;            // from Continue (or the RAID window's re-configure) to the result
    BOOL updateStarted;       // its thread was started; the result has not come yet
    BOOL autoContinue;        // press Continue when it is enabled, then report and exit
    NSString* reportPath;
    uint64_t autoLimitMs;     // an unattended run gives up when no update has started by then
    uint64_t autoStartMs;     // clock time when the unattended run began
    NSTimer* autoTimer;
    uint64_t finishedAtMs;    // clock time when updateFinished was set
    uint64_t stoppedAtMs;     // clock time when the progress thread saw it
    unsigned finishedAtPoll;  // progress polls made when updateFinished was set
    unsigned stoppedAtPoll;   // progress polls made when the progress thread saw it
    BOOL progressEnded;       // stopworking ran after the update's end
}

- (id)initWithBundle:(NSBundle*)aBundle;
// Builds both windows (the interface file's work) and runs awakeFromNib.
- (void)buildInterface;
- (NSString*)localized:(NSString*)key;

// Application delegate and interface loading.
- (void)applicationDidFinishLaunching:(NSNotification*)note;
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(AppSender)app;
- (void)applicationWillTerminate:(NSNotification*)note;
// Quitting and the wizard's close box are refused while an update runs.
- (NSApplicationTerminateReply)applicationShouldTerminate:(AppSender)app;
- (BOOL)windowShouldClose:(id)sender;
- (void)awakeFromNib;
// Launch steps 3-5 (the tree's data source, alert words, texts, windows); the discovery thread
// is started by applicationDidFinishLaunching: before them.
- (void)prepareWindows;

// The wizard.
- (void)showWelcomeWindow;
- (void)hideWelcomeWindow;
- (void)showUpdatingConfigWindow;
- (void)showSuccessfulWindow;
- (void)showFailureWindow;
- (BOOL)isFinished;
- (void)continueButtonClick:(id)sender;
- (void)exitprogram:(id)sender;
- (void)continueButtonEnabled:(BOOL)enabled;
- (void)deviceLabelSetStringVal:(NSString*)text;
- (void)updateFirmware;
// An update runs: the wizard is in its Updating state, or an update thread has not ended yet.
- (BOOL)updateRunning;
- (void)show_message:(NSString*)text;
- (void)show_error_and_exit:(NSString*)text;
// The result page's "Details": what the update did, shown and hidden by the disclosure, saved
// as text where the user chooses (tests answer the choice through detailsSavePath).
- (void)setDetailsText:(NSString*)text;
- (void)toggleDetails:(id)sender;
- (void)saveDetails:(id)sender;
- (NSString*)detailsSavePath;
// While an update runs the system does not sleep (an NSNumber: on or off).
- (void)holdAwake:(NSNumber*)on;
- (BOOL)holdingAwake;
- (void)startworking;
- (void)stopworking;

// The RAID window.
- (void)showConfigWindow;
- (void)hideConfigWindow;
// The RAID window with the wizard put away (--show-raid).
- (void)showConfigWindowAlone;
- (void)setGUIStrings;
- (void)cleargui;
- (void)refreshgui;
- (void)disablegui:(BOOL)rebuildOnly;
- (void)stopprogressbar;
- (void)switchguimain:(id)sender;
- (void)switchguishowdisk:(id)sender;
- (void)radio_changed:(id)sender;
- (void)comboBoxSelectionDidChange:(NSNotification*)note;
- (void)refresh:(id)sender;
- (void)warmboot:(id)sender;
- (void)configWarning1:(id)sender;
- (void)configWarning2:(id)sender;
- (void)update_controller_list;
- (void)clear_controller_list;
- (void)select_first_controller;
// The rows of update_controller_list, computed off the GUI thread (update_controller_list
// computes them itself when called on it).
- (void)showControllerRows:(NSArray*)rows;

// Alerts and the end of the program; tests override them so nothing goes modal or exits.
- (NSInteger)runAlertWithTitle:(NSString*)title
                       message:(NSString*)message
                 defaultButton:(NSString*)defaultButton
               alternateButton:(NSString*)alternateButton;
- (void)exitWithStatus:(int)status;
// Every way out of the program: an unattended run writes its report first and ends 0 only after
// a successful update (any other end shows the Failure state in the report).
- (void)leaveWithStatus:(int)status;

// Front-end settings and state for the driver and tests.
- (void)setAutoContinue:(BOOL)on reportPath:(NSString*)path limitMs:(uint64_t)limitMs;
// Starts the unattended run's clock and its checks (the launch does it).
- (void)startAutoContinue;
// One check of the unattended run's bound, on the clock seam: past it with no update started,
// the run ends in Failure.
- (void)autoContinueTick;
- (NSString*)wizardState;   // "Welcome", "Updating", "Success" or "Failure"
- (BOOL)isWorking;
- (BOOL)progressEnded;
- (uint64_t)finishedAtMs;
- (uint64_t)stoppedAtMs;
- (unsigned)finishedAtPoll;
- (unsigned)stoppedAtPoll;
- (void)progressStoppedAt:(uint64_t)ms poll:(unsigned)poll;
// The controls' state as one JSON document.
- (NSString*)reportJSON;
- (BOOL)writeReport;
@end

// The controller object every thread reaches.
extern controller* ctrller;
