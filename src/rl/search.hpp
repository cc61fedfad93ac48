#pragma once
// The batched search over the games of a Batch: one tree per game, the network reached only
// through rows of arrays. A round descends each tree to its next leaves (select_round), the
// caller evaluates them, and expand_round gives each leaf its priors and backs its value up.
// Every per-tree operation touches only its own tree, so a pool may split the trees freely.
// No Python here.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "rl/batch.hpp"
#include "rl/quiescence.hpp"
#include "rl/search_planes.hpp"
#include "rl/search_select.hpp"
#include "rl/search_tree.hpp"

namespace murkle::rl {

struct SearchParams {
    uint32_t simulations = 0;
    double c_puct = 1.25;
    double fpu_reduction = 0.0;  // PUCT: how much less than its parent an unvisited child is worth
    double forced_playouts = 0.0;  // PUCT: k of the root's forced visits, sqrt(k P N); 0: none
    double dirichlet_alpha = 0.0;  // 0: no noise
    double dirichlet_fraction = 0.25;
    bool gumbel = false;
    uint32_t max_considered = 16;
    uint32_t leaves_per_round = 1;
    uint64_t seed = 0;
    // How much of a leaf's value is the material a capture search finds there (quiescence.hpp)
    // rather than the network's value: 0 the network alone.
    double material_mix = 0.0;
};

// A leaf handed to the network, waiting for its priors and value.
struct PendingLeaf {
    int32_t node;
    uint32_t path_begin, path_end;        // in TreeSearch::paths
    uint32_t actions_begin, actions_end;  // its children's full actions, in TreeSearch::actions
    float material = 0.0f;  // its capture search's value, when the search mixes one in
};

template <int NW>
struct TreeSearch {
    Tree tree;
    Game<NW> work;          // the root's game; a descent makes its moves here and takes them back
    uint64_t rng = 0;
    uint64_t root_version = 0;  // the game's version the root describes
    bool has_root = false;  // the tree belongs to a game position
    bool active = false;    // takes part in the current search
    bool noised = false;    // the root's priors carry Dirichlet noise
    uint32_t sims = 0;      // simulations of the current search, backed up
    uint32_t waiting = 0;   // simulations handed to the network, not yet backed up
    size_t round_start = 0;
    std::vector<int32_t> root_actions;  // the full action of each root child
    std::vector<double> gumbel;         // one Gumbel sample per root child
    std::vector<PendingLeaf> pending;
    std::vector<int32_t> paths, actions, path;
    std::vector<double> scratch;
    MoveList moves;  // the legal moves of the leaf being opened
    Quiescence<NW> captures;
};

template <int NW>
class Search {
public:
    Search() = default;
    Search(const SearchParams& p, size_t n) : p_(p), trees_(n) {
        for (size_t i = 0; i < n; ++i) trees_[i].rng = stream_seed(p.seed ^ 0x5EA2C4D1B7E3F905ull, i);
    }

    const TreeSearch<NW>& tree(size_t i) const { return trees_[i]; }

    // What each row of run_in_place's planes array holds.
    PlaneRows<NW>& in_place_rows() { return in_place_rows_; }

    // Whether tree i still describes game i of the batch.
    bool current(const Batch<NW>& b, size_t i) const {
        const TreeSearch<NW>& t = trees_[i];
        return t.has_root && !b.restarting(i) && b.version(i) == t.root_version;
    }

    // ----- a search ---------------------------------------------------------------------------

    // Whether tree i no longer fits game i in a search under way: the game was changed (set,
    // reset, stepped) since the search began, or it began or stopped taking actions.
    bool stale(const Batch<NW>& b, size_t i) const {
        const TreeSearch<NW>& t = trees_[i];
        return t.active != b.takes_action(i) || (t.active && !current(b, i));
    }

    // Prepares tree i for a new search of game i: a fresh tree unless the tree still describes
    // the game (and the rules are PUCT); a game that takes no action is not searched.
    void begin(const Batch<NW>& b, size_t i) {
        TreeSearch<NW>& t = trees_[i];
        t.sims = t.waiting = 0;
        t.pending.clear();
        t.active = b.takes_action(i);
        if (!t.active) {
            forget(i);
            return;
        }
        if (p_.gumbel || !current(b, i)) {
            forget(i);
            t.root_version = b.version(i);
            t.has_root = true;
        }
        set_root_game(t, b.game(i));
        if (t.tree.root().state == NodeState::Expanded) prepare_root(t);
    }

    bool finished(size_t i) const {
        const TreeSearch<NW>& t = trees_[i];
        return !t.active || (t.tree.root().state == NodeState::Expanded && t.sims >= p_.simulations);
    }

    // Descends tree i to up to leaves_per_round new leaves and writes the planes, packed planes
    // and masks of each to consecutive rows from `planes`, `bits`/`scalars` and `mask` (none
    // when null). Terminal leaves are backed up here. Returns the number of leaves handed out.
    // With `rows`, the planes go to rows first_row, first_row + 1, ... of an array only the
    // search writes, each changed only where it differs from what it held.
    uint32_t select_round(size_t i, const Batch<NW>& b, float* planes, bool* mask, uint8_t* bits = nullptr,
                          float* scalars = nullptr, PlaneRows<NW>* rows = nullptr, size_t first_row = 0) {
        TreeSearch<NW>& t = trees_[i];
        if (!t.active) return 0;
        t.round_start = t.tree.edges.size();
        const size_t area_ = area(t), plane_row = b.selection().size() * area_,
                     mask_row = static_cast<size_t>(t.work.action_size()) * area_,
                     planes_held = b.selection().size(), bits_row = planes_held * packed_plane_bytes(area_);
        uint32_t leaves = 0;
        // A new leaf: its children listed, its planes and mask written, its path recorded.
        auto hand_out = [&](int32_t x) {
            open_leaf(t, x, planes || mask || bits);
            if (rows) rows->write(first_row + leaves, planes + leaves * plane_row, t.work, b.selection(), b.repetitions());
            else if (planes) b.write_leaf_planes(t.work, planes + leaves * plane_row);
            if (bits) b.write_leaf_packed(t.work, bits + leaves * bits_row, scalars + leaves * planes_held);
            if (mask) {
                bool* row = mask + leaves * mask_row;
                std::memset(row, 0, mask_row);
                const PendingLeaf& leaf = t.pending.back();
                for (uint32_t a = leaf.actions_begin; a < leaf.actions_end; ++a) row[t.actions[a]] = true;
            }
            ++leaves;
        };
        if (t.tree.root().state == NodeState::Unexpanded) {  // the root's own evaluation
            t.path.assign(1, 0);
            t.work.legal_moves_into(t.moves);
            hand_out(0);
            return leaves;
        }
        while (leaves < p_.leaves_per_round && t.sims + t.waiting < p_.simulations) {
            const int32_t x = descend(t);
            Node& leaf = t.tree.nodes[x];
            if (leaf.state == NodeState::Pending) {  // another descent of this round waits here
                undo(t);
                break;
            }
            if (leaf.state == NodeState::Unexpanded) {
                t.work.legal_moves_into(t.moves);
                const StepResult end = game_status(t.work, b.max_plies(), t.moves.size(), b.repetitions());
                if (!end.done) {
                    hand_out(x);
                    ++t.waiting;
                    // The next descents of this round see this one as a loss on its path.
                    for (size_t j = 1; j < t.path.size(); ++j) ++t.tree.nodes[t.path[j]].virtual_loss;
                    undo(t);
                    continue;
                }
                leaf.state = NodeState::Terminal;
                leaf.raw = terminal_value(t.work, end);
            }
            backup(t, t.path.data(), t.path.size(), t.tree.nodes[x].raw, false);
            ++t.sims;
            undo(t);
        }
        return leaves;
    }

    // Gives tree i's k-th waiting leaf its priors (softmax of `logits`, one per child in the
    // order of pending_actions; uniform when null) and backs its value up.
    void expand_leaf(size_t i, size_t k, const float* logits, float value) {
        TreeSearch<NW>& t = trees_[i];
        const PendingLeaf& leaf = t.pending[k];
        Node& x = t.tree.nodes[leaf.node];
        Edge* child = t.tree.children(x);
        if (logits) {
            double hi = -std::numeric_limits<double>::infinity(), sum = 0.0;
            for (int32_t c = 0; c < x.count; ++c) hi = std::max(hi, static_cast<double>(logits[c]));
            t.scratch.resize(static_cast<size_t>(x.count));
            for (int32_t c = 0; c < x.count; ++c)
                sum += (t.scratch[c] = std::exp(static_cast<double>(logits[c]) - hi));
            for (int32_t c = 0; c < x.count; ++c) child[c].prior = static_cast<float>(t.scratch[c] / sum);
        } else {
            const auto uniform = static_cast<float>(1.0 / x.count);
            for (int32_t c = 0; c < x.count; ++c) child[c].prior = uniform;
        }
        if (p_.material_mix > 0)
            value = static_cast<float>((1.0 - p_.material_mix) * value + p_.material_mix * leaf.material);
        x.raw = value;
        x.state = NodeState::Expanded;
        const bool root = leaf.node == 0;
        backup(t, t.paths.data() + leaf.path_begin, leaf.path_end - leaf.path_begin, value, true);
        if (root) {
            prepare_root(t);
        } else {
            ++t.sims;
            --t.waiting;
        }
    }

    void end_round(size_t i) {
        TreeSearch<NW>& t = trees_[i];
        t.pending.clear();
        t.paths.clear();
        t.actions.clear();
    }

    // Takes back the leaves of tree i's round that still wait, as if the round had not handed
    // them out (terminal leaves it backed up stay).
    void cancel_round(size_t i) {
        TreeSearch<NW>& t = trees_[i];
        for (const PendingLeaf& leaf : t.pending) {
            for (uint32_t j = leaf.path_begin + 1; j < leaf.path_end; ++j) --t.tree.nodes[t.paths[j]].virtual_loss;
            Node& x = t.tree.nodes[leaf.node];
            x.state = NodeState::Unexpanded;
            x.first = x.count = 0;
            if (leaf.node != 0) --t.waiting;
        }
        // The leaves' children were the round's only new edges; the leaves' nodes stay, unvisited.
        if (!t.pending.empty()) t.tree.edges.resize(t.round_start);
        end_round(i);
    }

    // Runs tree i's search to `rounds` more rounds with uniform priors and value 0: the same
    // tree as select and expand with uniform logits, without writing any observation.
    void run_uniform(size_t i, const Batch<NW>& b, uint32_t rounds) {
        for (uint32_t r = 0; r < rounds && !finished(i); ++r) {
            const uint32_t leaves = select_round(i, b, nullptr, nullptr);
            for (uint32_t k = 0; k < leaves; ++k) expand_leaf(i, k, nullptr, 0.0f);
            end_round(i);
        }
    }

    // ----- after a search ---------------------------------------------------------------------

    // Keeps the subtree of the child with full action `action` as tree i's next root, or
    // forgets the tree. The game must have played that move.
    void advance(size_t i, int64_t action, const Batch<NW>& b) {
        const Game<NW>& after = b.game(i);
        TreeSearch<NW>& t = trees_[i];
        int32_t keep = -1;
        const Node& root = t.tree.root();
        if (!p_.gumbel && t.has_root && root.state == NodeState::Expanded)
            for (int32_t k = 0; k < root.count && k < static_cast<int32_t>(t.root_actions.size()); ++k)
                if (t.root_actions[k] == action) keep = t.tree.children(root)[k].child;
        // A kept root adds `simulations` visits to its own: one that could pass the int32
        // counts starts afresh instead.
        if (keep < 0 || t.tree.nodes[keep].state != NodeState::Expanded ||
            t.tree.nodes[keep].visits > std::numeric_limits<int32_t>::max() - static_cast<int64_t>(p_.simulations) - 1) {
            forget(i);
            return;
        }
        t.tree.keep_subtree(keep);
        t.noised = false;
        t.root_version = b.version(i);
        t.active = false;
        // The kept root's children are the new position's legal moves, in their order: the
        // results read until the next search name them by the new position's full actions.
        set_root_game(t, after);
    }

    void forget(size_t i) {
        TreeSearch<NW>& t = trees_[i];
        t.tree.clear();
        t.has_root = t.noised = false;
        t.root_actions.clear();
        t.gumbel.clear();
    }

    // The root's children in order, for the results; empty for a tree not searched.
    int32_t root_children(size_t i) const {
        const TreeSearch<NW>& t = trees_[i];
        const Node& root = t.tree.root();
        return t.has_root && root.state == NodeState::Expanded ? root.count : 0;
    }

    // The policy target of tree i over its root children: visits normalised (with forced
    // playouts, pruned first), or for Gumbel the improved policy.
    void root_policy(size_t i, std::vector<double>& out) {
        TreeSearch<NW>& t = trees_[i];
        const int32_t count = root_children(i);
        out.assign(static_cast<size_t>(count), 0.0);
        if (!count) return;
        if (p_.gumbel) {
            improved_policy(t.tree, 0, out);
            return;
        }
        const Node& root = t.tree.root();
        if (p_.forced_playouts > 0) pruned_visits(t.tree, p_.c_puct, p_.forced_playouts, out);
        else
            for (int32_t k = 0; k < count; ++k) out[k] = t.tree.child(root, k).visits;
        double total = 0.0;
        for (int32_t k = 0; k < count; ++k) total += out[k];
        if (total > 0)
            for (double& p : out) p /= total;
    }

    // A root child of tree i: the most visited for temperature 0 (Gumbel: ties broken by the
    // halving score), else drawn with probability proportional to visits^(1/T). -1 when the
    // tree has no children.
    int32_t choose(size_t i, double temperature) {
        TreeSearch<NW>& t = trees_[i];
        const int32_t count = root_children(i);
        if (!count) return -1;
        const Edge* child = t.tree.children(t.tree.root());
        auto visits = [&](int32_t k) { return t.tree.child(child[k]).visits; };
        int32_t most = 0;
        for (int32_t k = 1; k < count; ++k)
            if (visits(k) > visits(most)) most = k;
        if (visits(most) == 0) {  // nothing searched: the highest prior
            for (int32_t k = 1; k < count; ++k)
                if (child[k].prior > child[most].prior) most = k;
            return most;
        }
        if (temperature <= 0) {
            if (!p_.gumbel) return most;
            completed_q(t.tree, 0, t.scratch);
            const int32_t best = best_considered(t.tree, t.scratch, t.gumbel, t.tree.child(child[most]).seen_visits());
            return best < 0 ? most : best;
        }
        t.scratch.resize(static_cast<size_t>(count));
        double total = 0.0;
        for (int32_t k = 0; k < count; ++k)
            total += (t.scratch[k] = visits(k) ? std::pow(static_cast<double>(visits(k)) / visits(most),
                                                          1.0 / temperature)
                                               : 0.0);
        double r = open_unit(t.rng) * total;
        for (int32_t k = 0; k < count; ++k) {
            if (t.scratch[k] <= 0) continue;
            if (r < t.scratch[k]) return k;
            r -= t.scratch[k];
        }
        return most;
    }

    // The full actions of the most visited line from the root of tree i (ties: the first
    // child), each in the position after the ones before, at most max_plies of them.
    void principal_variation(size_t i, size_t max_plies, std::vector<int64_t>& out) {
        TreeSearch<NW>& t = trees_[i];
        out.clear();
        if (!root_children(i)) return;
        int32_t x = 0;
        size_t made = 0;
        while (out.size() < max_plies && t.tree.nodes[x].count > 0) {
            const Node& n = t.tree.nodes[x];
            int32_t best = -1, most = 0;
            for (int32_t c = 0; c < n.count; ++c) {
                const int32_t visits = t.tree.child(n, c).visits;
                if (visits > most) best = c, most = visits;
            }
            if (best < 0) break;
            const Edge& child = t.tree.children(n)[best];
            const EMove m = child.move;
            out.push_back(static_cast<int64_t>(*t.work.move_plane(m) * area(t) + m.from));
            t.work.do_move(m);
            ++made;
            x = child.child;
        }
        for (; made > 0; --made) t.work.unmake_move();
    }

    // The depth of tree i's deepest visited node below the root (0 for a tree not searched).
    size_t max_depth(size_t i) {
        TreeSearch<NW>& t = trees_[i];
        if (!root_children(i)) return 0;
        size_t deepest = 0;
        std::vector<std::pair<int32_t, uint32_t>> stack{{0, 0u}};
        while (!stack.empty()) {
            const auto [x, depth] = stack.back();
            stack.pop_back();
            deepest = std::max<size_t>(deepest, depth);
            const Node& n = t.tree.nodes[x];
            for (int32_t c = 0; c < n.count; ++c)
                if (t.tree.child(n, c).visits > 0) stack.emplace_back(t.tree.children(n)[c].child, depth + 1);
        }
        return deepest;
    }

    double root_value(size_t i) const {
        const TreeSearch<NW>& t = trees_[i];
        const Node& root = t.tree.root();
        return t.has_root && root.visits > 0 ? root.value_sum / root.visits : 0.0;
    }

    size_t memory_bytes() const {
        size_t bytes = 0;
        for (const auto& t : trees_) bytes += t.tree.capacity_bytes();
        return bytes;
    }

    const PendingLeaf& pending_leaf(size_t i, size_t k) const { return trees_[i].pending[k]; }
    const int32_t* pending_actions(size_t i, size_t k) const {
        return trees_[i].actions.data() + trees_[i].pending[k].actions_begin;
    }

private:
    static size_t area(const TreeSearch<NW>& t) { return t.work.width() * t.work.height(); }

    // The game at tree t's root, and the full action of each of its children.
    static void set_root_game(TreeSearch<NW>& t, const Game<NW>& g) {
        t.work = g;
        const LegalView v = t.work.legal();
        t.root_actions.resize(v.size);
        for (size_t k = 0; k < v.size; ++k) t.root_actions[k] = static_cast<int32_t>(full_action(v, k, area(t)));
    }

    // The value of a finished position for the side to move: -1 when mated, else 0.
    static float terminal_value(const Game<NW>& g, const StepResult& end) {
        if (!end.outcome) return 0.0f;
        const auto w = winner(*end.outcome);
        if (!w) return 0.0f;
        return *w == g.turn() ? 1.0f : -1.0f;
    }

    // From the root to an unexpanded, waiting or terminal node, making the moves on the work
    // game. The path is left in t.path.
    int32_t descend(TreeSearch<NW>& t) {
        t.path.assign(1, 0);
        int32_t x = 0;
        while (t.tree.nodes[x].state == NodeState::Expanded) {
            int32_t c;
            if (!p_.gumbel) c = select_puct(t.tree, x, p_.c_puct, p_.fpu_reduction, x == 0 ? p_.forced_playouts : 0.0);
            else if (x == 0) c = select_gumbel_root(t.tree, considered(t), p_.simulations, t.gumbel, t.scratch);
            else c = select_gumbel_interior(t.tree, x, t.scratch);
            t.work.do_move(t.tree.edges[c].move);
            x = t.tree.node_of(c);
            t.path.push_back(x);
        }
        return x;
    }

    void undo(TreeSearch<NW>& t) {
        for (size_t j = 1; j < t.path.size(); ++j) t.work.unmake_move();
    }

    // Lists the leaf's children (the legal moves in t.moves) and records it as waiting, with its
    // path and, for the network, its children's full actions.
    void open_leaf(TreeSearch<NW>& t, int32_t x, bool with_actions) {
        t.tree.add_children(x, t.moves);
        t.tree.nodes[x].state = NodeState::Pending;
        PendingLeaf leaf{x, static_cast<uint32_t>(t.paths.size()), 0, static_cast<uint32_t>(t.actions.size()), 0};
        t.paths.insert(t.paths.end(), t.path.begin(), t.path.end());
        leaf.path_end = static_cast<uint32_t>(t.paths.size());
        if (with_actions) {
            const auto a = static_cast<uint32_t>(area(t));
            for (const EMove& m : t.moves) t.actions.push_back(static_cast<int32_t>(*t.work.move_plane(m) * a + m.from));
        }
        leaf.actions_end = static_cast<uint32_t>(t.actions.size());
        if (p_.material_mix > 0) leaf.material = t.captures.value(t.work);
        t.pending.push_back(leaf);
    }

    // Adds value v (from the side to move at the last node) along a path from the root, its
    // sign turning at each ply; a leaf that waited for the network lifts the path's virtual loss.
    static void backup(TreeSearch<NW>& t, const int32_t* path, size_t length, double v, bool waited) {
        for (size_t j = length; j-- > 0;) {
            Node& n = t.tree.nodes[path[j]];
            ++n.visits;
            n.value_sum += v;
            if (waited && j > 0) --n.virtual_loss;
            v = -v;
        }
    }

    uint32_t considered(const TreeSearch<NW>& t) const {
        return std::min<uint32_t>(p_.max_considered, static_cast<uint32_t>(t.tree.root().count));
    }

    // A root ready for a search: Dirichlet noise (PUCT) or Gumbel samples, once per root.
    void prepare_root(TreeSearch<NW>& t) {
        const Node& root = t.tree.root();
        if (p_.gumbel) {
            t.gumbel.resize(static_cast<size_t>(root.count));
            for (double& g : t.gumbel) g = gumbel_sample(t.rng);
        } else if (p_.dirichlet_alpha > 0 && !t.noised) {
            add_dirichlet_noise(t.tree, 0, p_.dirichlet_alpha, p_.dirichlet_fraction, t.rng);
            t.noised = true;
        }
    }

    SearchParams p_;
    std::vector<TreeSearch<NW>> trees_;
    PlaneRows<NW> in_place_rows_;
};

}  // namespace murkle::rl
