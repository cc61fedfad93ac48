#pragma once
// Which child a descent takes: PUCT with first-play urgency, or the Gumbel rules (sequential
// halving at the root, the improved policy's deficit below it); and the random draws of the
// root: Dirichlet noise and Gumbel samples.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "rl/batch.hpp"
#include "rl/search_tree.hpp"

namespace murkle::rl {

// ------------------------------------------------------------------ PUCT

// The exploration term of PUCT: c_puct * P(c) * sqrt(N(x)) / (1 + N(c)).
inline double puct_bonus(double c_puct, double prior, double sqrt_n, double visits) {
    return c_puct * prior * sqrt_n / (1.0 + visits);
}

// Forced playouts: the visits a root child of this prior is owed when the root has n.
inline double forced_visits(double forced, double prior, double n) { return std::sqrt(forced * prior * n); }

// score(c) = Q(c) + c_puct * P(c) * sqrt(N(x)) / (1 + N(c)); an unvisited child is valued as
// the parent is valued by its own side, less fpu_reduction * sqrt(the priors of the visited
// children), so that a search that has found good moves looks at new ones later. The first
// best child wins ties. With forced > 0 (the root only), the children with fewer visits than
// sqrt(forced * P(c) * N(x)) come before the others, the best score among them first: forced
// playouts, so that a move the root's noise favours is seen enough to be judged.
inline int32_t select_puct(const Tree& tree, int32_t x, double c_puct, double fpu_reduction = 0.0, double forced = 0.0) {
    const Node& parent = tree.nodes[x];
    const double n = parent.seen_visits();
    const double sqrt_n = std::sqrt(n);
    const Edge* edge = tree.children(parent);
    double fpu = n > 0 ? parent.seen_value() / n : 0.0;
    if (fpu_reduction > 0) {
        double visited = 0.0;
        for (int32_t k = 0; k < parent.count; ++k)
            if (tree.child(edge[k]).seen_visits() > 0) visited += edge[k].prior;
        fpu -= fpu_reduction * std::sqrt(visited);
    }
    int32_t best = 0;
    bool best_forced = false;
    double best_score = -std::numeric_limits<double>::infinity();
    for (int32_t k = 0; k < parent.count; ++k) {
        const Node& c = tree.child(edge[k]);
        const double nc = c.seen_visits();
        const double prior = static_cast<double>(edge[k].prior);
        const bool is_forced = forced > 0 && nc < forced_visits(forced, prior, n);
        const double score = (nc > 0 ? c.q_for_parent() : fpu) + puct_bonus(c_puct, prior, sqrt_n, nc);
        if (is_forced > best_forced || (is_forced == best_forced && score > best_score)) {
            best_score = score;
            best = k;
            best_forced = is_forced;
        }
    }
    return parent.first + best;
}

// The root's visits as a policy target after forced playouts: every child but the most visited
// c* gives back up to its forced visits, as long as its score with the visits left stays below
// c*'s; a child left with one visit or less counts none.
inline void pruned_visits(const Tree& tree, double c_puct, double forced, std::vector<double>& out) {
    const Node& root = tree.root();
    const Edge* edge = tree.children(root);
    const double n = root.seen_visits(), sqrt_n = std::sqrt(n);
    int32_t best = 0;
    for (int32_t k = 0; k < root.count; ++k) {
        out[k] = tree.child(edge[k]).visits;
        if (out[k] > out[best]) best = k;
    }
    if (out[best] <= 0) return;
    const double best_score = tree.child(edge[best]).q_for_parent() +
                              puct_bonus(c_puct, static_cast<double>(edge[best].prior), sqrt_n, out[best]);
    for (int32_t k = 0; k < root.count; ++k) {
        if (k == best || out[k] <= 0) continue;
        const double prior = static_cast<double>(edge[k].prior);
        const double gap = best_score - tree.child(edge[k]).q_for_parent();
        double left = out[k];  // a child worth more than c* with any visits keeps them all; the
        if (gap > 0)           // others give back forced visits while their score stays below c*'s
            left = std::min(left, std::max(left - forced_visits(forced, prior, n), c_puct * prior * sqrt_n / gap - 1.0));
        out[k] = left > 1.0 ? left : 0.0;
    }
}

// ------------------------------------------------------------------ random draws

// Uniform in (0, 1), never 0 or 1.
inline double open_unit(uint64_t& rng) { return (static_cast<double>(next_random(rng) >> 11) + 0.5) * 0x1.0p-53; }

inline double standard_normal(uint64_t& rng) {
    // Box-Muller; the second value is dropped so that every draw takes the same two numbers.
    const double u = open_unit(rng), v = open_unit(rng);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
}

// Gamma(alpha, 1) by Marsaglia and Tsang; below 1 through Gamma(alpha + 1) * U^(1 / alpha).
inline double gamma_sample(uint64_t& rng, double alpha) {
    if (alpha < 1.0) return gamma_sample(rng, alpha + 1.0) * std::pow(open_unit(rng), 1.0 / alpha);
    const double d = alpha - 1.0 / 3.0, c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
        double x, v;
        do {
            x = standard_normal(rng);
            v = 1.0 + c * x;
        } while (v <= 0.0);
        v = v * v * v;
        const double u = open_unit(rng);
        if (std::log(u) < 0.5 * x * x + d - d * v + d * std::log(v)) return d * v;
    }
}

// Mixes Dirichlet(alpha) noise into the priors of node x's children.
inline void add_dirichlet_noise(Tree& tree, int32_t x, double alpha, double fraction, uint64_t& rng) {
    Node& parent = tree.nodes[x];
    std::vector<double> eta(static_cast<size_t>(parent.count));
    double sum = 0.0;
    for (double& e : eta) sum += (e = gamma_sample(rng, alpha));
    for (int32_t k = 0; k < parent.count; ++k) {
        Edge& c = tree.edges[parent.first + k];
        const double noise = sum > 0 ? eta[k] / sum : 1.0 / parent.count;
        c.prior = static_cast<float>((1.0 - fraction) * c.prior + fraction * noise);
    }
}

inline double gumbel_sample(uint64_t& rng) { return -std::log(-std::log(open_unit(rng))); }

// ------------------------------------------------------------------ Gumbel

// Sequential halving over m considered root actions and a budget of `simulations`: the visit
// count the considered actions should have when the root has `visited` visits among its
// children. The plan runs in phases: each gives every action still considered
// max(1, simulations / (ceil(log2 m) * considered)) more visits, one action at a time, then
// halves the actions considered (never below 2). Computed phase by phase, so nothing grows with
// the budget.
inline int32_t considered_visit(uint32_t m, uint32_t simulations, uint64_t visited) {
    if (simulations > 0) visited = std::min<uint64_t>(visited, simulations - 1);
    if (m <= 1) return static_cast<int32_t>(visited);
    uint32_t log2max = 0;
    while ((1u << log2max) < m) ++log2max;
    uint64_t start = 0;
    int64_t base = 0;  // the visits of every considered action when the phase begins
    for (uint32_t considered = m;; considered = std::max(2u, considered / 2)) {
        const auto extra = std::max<uint64_t>(
            1, static_cast<uint64_t>(static_cast<double>(simulations) / static_cast<double>(log2max * considered)));
        if (visited < start + extra * considered) return static_cast<int32_t>(base + (visited - start) / considered);
        start += extra * considered;
        base += static_cast<int64_t>(extra);
    }
}

// A root or interior logit: the log of the prior, kept finite.
inline double prior_logit(float prior) { return std::log(std::max(static_cast<double>(prior), static_cast<double>(FLT_MIN))); }

// sigma(completed Q) of node x's children, into out: visited children keep their mean value,
// the others take the mixed value of the network's value and the visited children's; the
// values are min-max rescaled to [0, 1], then scaled by (50 + the most visits) * 0.1.
inline void completed_q(const Tree& tree, int32_t x, std::vector<double>& out) {
    const Node& parent = tree.nodes[x];
    const Edge* edge = tree.children(parent);
    out.resize(static_cast<size_t>(parent.count));
    double sum_visits = 0.0, max_visits = 0.0, sum_probs = 0.0, weighted = 0.0;
    for (int32_t k = 0; k < parent.count; ++k) {
        const double n = tree.child(edge[k]).seen_visits();
        sum_visits += n;
        max_visits = std::max(max_visits, n);
        if (n > 0) sum_probs += std::max(static_cast<double>(edge[k].prior), static_cast<double>(FLT_MIN));
    }
    for (int32_t k = 0; k < parent.count; ++k) {
        const Node& c = tree.child(edge[k]);
        if (c.seen_visits() > 0)
            weighted += std::max(static_cast<double>(edge[k].prior), static_cast<double>(FLT_MIN)) *
                        c.q_for_parent() / sum_probs;
    }
    const double mixed = (static_cast<double>(parent.raw) + sum_visits * weighted) / (sum_visits + 1.0);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int32_t k = 0; k < parent.count; ++k) {
        const Node& c = tree.child(edge[k]);
        out[k] = c.seen_visits() > 0 ? c.q_for_parent() : mixed;
        lo = std::min(lo, out[k]);
        hi = std::max(hi, out[k]);
    }
    const double range = std::max(hi - lo, 1e-8), scale = (50.0 + max_visits) * 0.1;
    for (double& q : out) q = scale * ((q - lo) / range);
}

// The halving score of each root child: g + logit - max logit + sigma(q), or -inf for a child
// whose visits differ from `target`.
inline int32_t best_considered(const Tree& tree, const std::vector<double>& sigma, const std::vector<double>& gumbel,
                               double target) {
    const Node& root = tree.root();
    const Edge* edge = tree.children(root);
    double max_logit = -std::numeric_limits<double>::infinity();
    for (int32_t k = 0; k < root.count; ++k) max_logit = std::max(max_logit, prior_logit(edge[k].prior));
    int32_t best = -1;
    double best_score = -std::numeric_limits<double>::infinity();
    for (int32_t k = 0; k < root.count; ++k) {
        if (tree.child(edge[k]).seen_visits() != target) continue;
        const double score =
            std::max(-1e9, gumbel[k] + (prior_logit(edge[k].prior) - max_logit) + sigma[k]);
        if (best < 0 || score > best_score) {
            best_score = score;
            best = k;
        }
    }
    return best;
}

// Sequential halving at the root: among the children with the visits the schedule wants now,
// the best halving score.
inline int32_t select_gumbel_root(const Tree& tree, uint32_t considered, uint32_t simulations,
                                  const std::vector<double>& gumbel, std::vector<double>& scratch) {
    const Node& root = tree.root();
    const Edge* edge = tree.children(root);
    double visits = 0.0;
    for (int32_t k = 0; k < root.count; ++k) visits += tree.child(edge[k]).seen_visits();
    completed_q(tree, 0, scratch);
    int32_t best = best_considered(tree, scratch, gumbel, considered_visit(considered, simulations, static_cast<uint64_t>(visits)));
    if (best < 0) best = best_considered(tree, scratch, gumbel, -1.0);  // never: the schedule is met
    return root.first + std::max(best, 0);
}

// softmax(logit + sigma(q)) of node x's children, into out.
inline void improved_policy(const Tree& tree, int32_t x, std::vector<double>& out) {
    const Node& parent = tree.nodes[x];
    const Edge* edge = tree.children(parent);
    completed_q(tree, x, out);
    double hi = -std::numeric_limits<double>::infinity();
    for (int32_t k = 0; k < parent.count; ++k) hi = std::max(hi, out[k] += prior_logit(edge[k].prior));
    double sum = 0.0;
    for (double& v : out) sum += (v = std::exp(v - hi));
    for (double& v : out) v /= sum;
}

// Below the root: the child whose share of the visits lags most behind the improved policy.
inline int32_t select_gumbel_interior(const Tree& tree, int32_t x, std::vector<double>& scratch) {
    const Node& parent = tree.nodes[x];
    const Edge* edge = tree.children(parent);
    improved_policy(tree, x, scratch);
    double sum_visits = 0.0;
    for (int32_t k = 0; k < parent.count; ++k) sum_visits += tree.child(edge[k]).seen_visits();
    int32_t best = 0;
    double best_score = -std::numeric_limits<double>::infinity();
    for (int32_t k = 0; k < parent.count; ++k) {
        const double score = scratch[k] - tree.child(edge[k]).seen_visits() / (1.0 + sum_visits);
        if (score > best_score) {
            best_score = score;
            best = k;
        }
    }
    return parent.first + best;
}

}  // namespace murkle::rl
