// The delegate of the RAID window's tabs: the rebuild tab (identifier 1) is refused with a message.
#pragma once
#import "compat.h"

@interface tabviewdel : NSObject TABVIEWDEL_PROTOCOLS
- (BOOL)tabView:(NSTabView*)tabView shouldSelectTabViewItem:(NSTabViewItem*)item;
@end
