#pragma once
// The search tree of one game: nodes in one arena, indices rather than pointers, the children
// of a node a contiguous range in legal-move order. The arena keeps its memory from move to
// move: a kept subtree is compacted in place.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/game.hpp"

namespace murkle::rl {

enum class NodeState : uint8_t {
    Unexpanded,  // its moves not listed yet
    Pending,     // its moves listed, waiting for the network's priors and value
    Expanded,
    Terminal,    // the position is over: no children, `raw` holds the rules' value
};

struct Node {
    EMove move{};                // the move that leads here from the parent
    NodeState state = NodeState::Unexpanded;
    uint8_t spare = 0;
    float prior = 0.0f;
    int32_t visits = 0;          // N, the node's own evaluation included
    int32_t virtual_loss = 0;    // descents through here still waiting for the network
    float raw = 0.0f;            // the network's value of the position, or the rules' value
    int32_t first = 0;           // children: [first, first + count)
    int32_t count = 0;
    double value_sum = 0.0;      // W, from the side to move here

    // Visits and value as selection sees them: every descent still waiting counts as a visit
    // that the side choosing this node lost.
    double seen_visits() const { return static_cast<double>(visits + virtual_loss); }
    double seen_value() const { return value_sum + virtual_loss; }
    // The mean value for the side that chose this node; only for a node seen at least once.
    double q_for_parent() const { return -seen_value() / seen_visits(); }
};
static_assert(sizeof(Node) == 40, "the README gives 40 bytes per node");

class Tree {
public:
    Tree() { clear(); }

    std::vector<Node> nodes;  // nodes[0] is the root

    // A root alone, unexpanded.
    void clear() {
        nodes.clear();
        nodes.emplace_back();
    }

    Node& root() { return nodes[0]; }
    const Node& root() const { return nodes[0]; }

    // Lists the children of node x, one per legal move.
    void add_children(int32_t x, const MoveList& moves) {
        const auto first = static_cast<int32_t>(nodes.size());
        nodes.resize(nodes.size() + moves.size());
        for (size_t k = 0; k < moves.size(); ++k) nodes[first + k].move = moves[k];
        nodes[x].first = first;
        nodes[x].count = static_cast<int32_t>(moves.size());
    }

    // Makes the subtree of node `keep` the whole tree, in place: its root first, then the
    // children ranges of its nodes in their old order, each moved down (never up), so the
    // arena keeps its memory and nothing else is allocated once the buffers have grown.
    void keep_subtree(int32_t keep) {
        blocks_.clear();
        stack_.assign(1, keep);
        while (!stack_.empty()) {
            const Node& n = nodes[stack_.back()];
            stack_.pop_back();
            if (n.count == 0) continue;
            blocks_.emplace_back(n.first, n.count);
            for (int32_t c = 0; c < n.count; ++c) stack_.push_back(n.first + c);
        }
        std::sort(blocks_.begin(), blocks_.end());
        const Node root = nodes[keep];
        int32_t size = 1;
        remap_.resize(nodes.size());
        for (const auto& [first, count] : blocks_) {
            remap_[first] = size;
            std::memmove(static_cast<void*>(nodes.data() + size), nodes.data() + first, sizeof(Node) * count);
            size += count;
        }
        nodes[0] = root;
        nodes.resize(static_cast<size_t>(size));
        for (Node& n : nodes)
            if (n.count) n.first = remap_[n.first];
    }

    // Bytes held by the arena.
    size_t capacity_bytes() const { return nodes.capacity() * sizeof(Node); }

private:
    std::vector<std::pair<int32_t, int32_t>> blocks_;  // children ranges of the kept nodes
    std::vector<int32_t> stack_, remap_;
};

}  // namespace murkle::rl
