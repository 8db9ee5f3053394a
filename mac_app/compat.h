// Where the GNUstep and Cocoa AppKit headers differ.
#pragma once

#import <AppKit/AppKit.h>

#ifdef GNUSTEP
// GNUstep has no NSComboBoxDelegate / NSTabViewDelegate protocols and declares every
// NSOutlineViewDataSource method required; the methods are there all the same.
#define CONTROLLER_PROTOCOLS <NSApplicationDelegate, NSTextFieldDelegate>
#define TABVIEWDEL_PROTOCOLS
#define TREEVIEW_PROTOCOLS
typedef id AppSender;
#else
#define CONTROLLER_PROTOCOLS <NSApplicationDelegate, NSComboBoxDelegate>
#define TABVIEWDEL_PROTOCOLS <NSTabViewDelegate>
#define TREEVIEW_PROTOCOLS <NSOutlineViewDataSource>
typedef NSApplication* AppSender;
#endif
