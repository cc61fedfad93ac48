#pragma once
// The search tree of one game: nodes and edges in two arenas, indices rather than pointers.
// A node's children are a contiguous range of compact edges (move, prior, child) in
// legal-move order; an edge gets its node only when a descent first takes it, so a leaf costs
// one small edge per legal move rather than a node. The arenas keep their memory from move to
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
    double value_sum = 0.0;      // W, from the side to move here
    int32_t visits = 0;          // N, the node's own evaluation included
    int32_t virtual_loss = 0;    // descents through here still waiting for the network
    float raw = 0.0f;            // the network's value of the position, or the rules' value
    int32_t first = 0;           // children: edges [first, first + count)
    int32_t count = 0;
    NodeState state = NodeState::Unexpanded;

    // Visits and value as selection sees them: every descent still waiting counts as a visit
    // that the side choosing this node lost.
    double seen_visits() const { return static_cast<double>(visits + virtual_loss); }
    double seen_value() const { return value_sum + virtual_loss; }
    // The mean value for the side that chose this node; only for a node seen at least once.
    double q_for_parent() const { return -seen_value() / seen_visits(); }
};
static_assert(sizeof(Node) == 32, "the README gives 32 bytes per node");

struct Edge {
    float prior = 0.0f;
    int32_t child = -1;  // its node, or -1 before a descent first takes it
    EMove move{};        // the move that leads to the child
};
static_assert(sizeof(Edge) == 16, "the README gives 16 bytes per edge");

class Tree {
public:
    Tree() { clear(); }

    std::vector<Node> nodes;  // nodes[0] is the root
    std::vector<Edge> edges;

    // A root alone, unexpanded.
    void clear() {
        nodes.clear();
        nodes.emplace_back();
        edges.clear();
    }

    Node& root() { return nodes[0]; }
    const Node& root() const { return nodes[0]; }

    // The node an edge leads to, or a node never visited.
    const Node& child(const Edge& e) const { return e.child >= 0 ? nodes[static_cast<size_t>(e.child)] : unvisited_; }
    // The node of n's k-th child, or a node never visited.
    const Node& child(const Node& n, int32_t k) const { return child(edges[n.first + k]); }
    const Edge* children(const Node& n) const { return edges.data() + n.first; }
    Edge* children(const Node& n) { return edges.data() + n.first; }

    // The node of edge e, made on the first descent through it.
    int32_t node_of(int32_t e) {
        if (edges[e].child < 0) {
            edges[e].child = static_cast<int32_t>(nodes.size());
            nodes.emplace_back();
        }
        return edges[e].child;
    }

    // Lists the children of node x, one edge per legal move.
    void add_children(int32_t x, const MoveList& moves) {
        const auto first = static_cast<int32_t>(edges.size());
        edges.resize(edges.size() + moves.size());
        for (size_t k = 0; k < moves.size(); ++k) edges[first + k].move = moves[k];
        nodes[x].first = first;
        nodes[x].count = static_cast<int32_t>(moves.size());
    }

    // Makes the subtree of node `keep` the whole tree, in place: its root first, then its other
    // nodes and its children ranges in their old order, each moved down (never up), so the
    // arenas keep their memory and nothing else is allocated once the buffers have grown.
    void keep_subtree(int32_t keep) {
        kept_.clear();
        blocks_.clear();
        stack_.assign(1, keep);
        while (!stack_.empty()) {
            const int32_t x = stack_.back();
            stack_.pop_back();
            if (x != keep) kept_.push_back(x);
            const Node& n = nodes[x];
            if (n.count == 0) continue;
            blocks_.emplace_back(n.first, n.count);
            for (int32_t c = 0; c < n.count; ++c)
                if (edges[n.first + c].child >= 0) stack_.push_back(edges[n.first + c].child);
        }
        std::sort(kept_.begin(), kept_.end());
        std::sort(blocks_.begin(), blocks_.end());
        remap_.resize(std::max(nodes.size(), edges.size()));
        // Nodes: every kept index is at least 1, so the j-th goes down to j + 1 or stays.
        nodes[0] = nodes[keep];
        remap_[keep] = 0;
        for (size_t j = 0; j < kept_.size(); ++j) {
            nodes[j + 1] = nodes[kept_[j]];
            remap_[kept_[j]] = static_cast<int32_t>(j + 1);
        }
        nodes.resize(kept_.size() + 1);
        for (const auto& [first, count] : blocks_)  // the children of kept nodes are kept nodes
            for (int32_t c = first; c < first + count; ++c)
                if (edges[c].child >= 0) edges[c].child = remap_[edges[c].child];
        int32_t size = 0;
        for (const auto& [first, count] : blocks_) {
            remap_[first] = size;
            std::memmove(static_cast<void*>(edges.data() + size), edges.data() + first, sizeof(Edge) * count);
            size += count;
        }
        edges.resize(static_cast<size_t>(size));
        for (Node& n : nodes)
            if (n.count) n.first = remap_[n.first];
    }

    // Bytes held by the arenas.
    size_t capacity_bytes() const { return nodes.capacity() * sizeof(Node) + edges.capacity() * sizeof(Edge); }

private:
    static inline const Node unvisited_{};
    std::vector<std::pair<int32_t, int32_t>> blocks_;  // children ranges of the kept nodes
    std::vector<int32_t> stack_, kept_, remap_;
};

}  // namespace murkle::rl
