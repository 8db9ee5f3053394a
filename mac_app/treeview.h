// The data source of the RAID window's device outline. `data` holds the nodes: a node is an array
// whose element 0 is its label and whose further elements are its children; a leaf is a string.
#pragma once
#import "compat.h"

#include "mac_app/model/tree.h"

@interface treeview : NSObject TREEVIEW_PROTOCOLS
{
    NSMutableArray* data;
}
- (id)init;
- (NSMutableArray*)data;
// Replaces `data` with the nodes of the controller list's outline model.
- (void)loadFromModel:(const raid::tree_model&)model;

- (id)outlineView:(NSOutlineView*)view child:(NSInteger)index ofItem:(id)item;
- (NSInteger)outlineView:(NSOutlineView*)view numberOfChildrenOfItem:(id)item;
- (BOOL)outlineView:(NSOutlineView*)view isItemExpandable:(id)item;
- (id)outlineView:(NSOutlineView*)view objectValueForTableColumn:(NSTableColumn*)column byItem:(id)item;
@end
