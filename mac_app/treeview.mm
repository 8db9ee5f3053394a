#import "treeview.h"

static id itemOfNode(const raid::tree_node& node)
{
    NSString* label = [NSString stringWithUTF8String:node.label.c_str()];
    if (node.children.empty())
        return label;
    NSMutableArray* item = [NSMutableArray arrayWithObject:label];
    for (size_t i = 0; i < node.children.size(); ++i)
        [item addObject:itemOfNode(node.children[i])];
    return item;
}

@implementation treeview

- (id)init
{
    if ((self = [super init]) != nil)
        data = [[NSMutableArray alloc] init];
    return self;
}

- (void)dealloc
{
    [data release];
    [super dealloc];
}

- (NSMutableArray*)data
{
    return data;
}

- (void)loadFromModel:(const raid::tree_model&)model
{
    [data removeAllObjects];
    for (size_t i = 0; i < model.data.size(); ++i)
        [data addObject:itemOfNode(model.data[i])];
}

- (id)outlineView:(NSOutlineView*)view child:(NSInteger)index ofItem:(id)item
{
    (void)view;
    if (item == nil)
        return (index >= 0 && (NSUInteger)index < [data count]) ? [data objectAtIndex:index] : nil;
    if (![item isKindOfClass:[NSArray class]])
        return nil;
    NSArray* node = (NSArray*)item;
    return (index >= 0 && (NSUInteger)index + 1 < [node count]) ? [node objectAtIndex:index + 1] : nil;
}

- (NSInteger)outlineView:(NSOutlineView*)view numberOfChildrenOfItem:(id)item
{
    (void)view;
    if (item == nil)
        return (NSInteger)[data count];
    if ([item isKindOfClass:[NSArray class]])
        return [(NSArray*)item count] > 0 ? (NSInteger)[(NSArray*)item count] - 1 : 0;
    return 0;
}

- (BOOL)outlineView:(NSOutlineView*)view isItemExpandable:(id)item
{
    return [self outlineView:view numberOfChildrenOfItem:item] > 0;
}

- (id)outlineView:(NSOutlineView*)view objectValueForTableColumn:(NSTableColumn*)column byItem:(id)item
{
    (void)view;
    (void)column;
    if (item == nil)
        return @"Root";
    if ([item isKindOfClass:[NSArray class]])
        return [(NSArray*)item count] > 0 ? [(NSArray*)item objectAtIndex:0] : @"";
    return item;
}

@end
