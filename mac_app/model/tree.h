// The device outline of the RAID window: a list of nodes, each with its label and its children;
// a leaf has no children. Nothing fills it yet, so the outline stays empty.
#pragma once
#include <string>
#include <vector>

namespace raid {

struct tree_node {
    std::string label;
    std::vector<tree_node> children;
};

struct tree_model {
    std::vector<tree_node> data;
};

}  // namespace raid
