#import "tabviewdel.h"

#import "controller.h"

@implementation tabviewdel

- (BOOL)tabView:(NSTabView*)tabView shouldSelectTabViewItem:(NSTabViewItem*)item
{
    (void)tabView;
    if ([[item identifier] intValue] != 1)
        return YES;
    [ctrller show_message:[ctrller localized:@"two_raid1_disks_for_rebuild"]];
    return NO;
}

@end
