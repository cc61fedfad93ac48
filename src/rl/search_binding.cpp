// The Search class as Python sees it: one tree per game of a GameBatch, driven by the caller's
// network through arrays (select -> evaluate -> expand), or by run().
#include <nanobind/stl/tuple.h>

#include <cmath>

#include "rl/answers.hpp"
#include "rl/bindings.hpp"
#include "rl/game_batch.hpp"
#include "rl/search.hpp"

namespace murkle::rl {
namespace {

using SearchVariant = SizeClassVariant<Search, std::make_integer_sequence<int, 16>>::type;

constexpr ItemReader read_float32 = answers_detail::read_items<float>;

template <class B>
constexpr int size_class_of = std::remove_cvref_t<B>::size_class;

class SearchObject {
    // f(batch, search) under the batch's lock; refused once a failure has left the trees
    // half-changed.
    template <class F>
    decltype(auto) with_search(F&& f) {
        return batch_->visit([&](auto& b) -> decltype(auto) {
            refuse_if_broken();
            return f(b, std::get<Search<size_class_of<decltype(b)>>>(search_));
        });
    }

    // Runs a change of the trees; an exception inside it (memory running out) leaves them
    // half-changed, so the search refuses every later call rather than go on from there.
    template <class F>
    void changing(const char* call, F&& f) {
        try {
            f();
        } catch (...) {
            broken_ = std::string("this Search failed inside ") + call + " (" + current_error() +
                      ") and its trees are half-changed; make a new Search for this batch";
            rows_ = 0;
            throw;
        }
    }

    void refuse_if_broken() const {
        if (!broken_.empty()) throw std::runtime_error(broken_);
    }

    static std::string current_error() {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            return "out of memory";
        } catch (const std::exception& e) {
            return e.what();
        } catch (...) {
            return "unknown error";
        }
    }

public:
    SearchObject(const SearchObject&) = delete;
    SearchObject& operator=(const SearchObject&) = delete;
    SearchObject(nb::handle batch, nb::handle simulations, nb::handle c_puct, nb::handle fpu_reduction,
                 nb::handle forced_playouts, nb::handle dirichlet_alpha,
                 nb::handle dirichlet_fraction, nb::handle gumbel, nb::handle max_considered, nb::handle leaves_per_round,
                 nb::handle seed, nb::handle material_mix) {
        if (!nb::isinstance<GameBatch>(batch))
            throw nb::type_error(("batch must be a murkle_rl.GameBatch, not " + kind_of(batch)).c_str());
        constexpr double huge = 1e300;
        p_.simulations = integer_arg<uint32_t>(simulations, "simulations", 1, 1u << 30);
        p_.c_puct = real_arg(c_puct, "c_puct", 0.0, huge);
        p_.fpu_reduction = real_arg(fpu_reduction, "fpu_reduction", 0.0, huge);
        p_.forced_playouts = real_arg(forced_playouts, "forced_playouts", 0.0, huge);
        p_.dirichlet_alpha = dirichlet_alpha.is_none() ? 0.0 : real_arg(dirichlet_alpha, "dirichlet_alpha", 1e-300, huge);
        p_.dirichlet_fraction = real_arg(dirichlet_fraction, "dirichlet_fraction", 0.0, 1.0);
        p_.gumbel = bool_arg(gumbel, "gumbel");
        p_.max_considered = integer_arg<uint32_t>(max_considered, "max_considered", 1, 4096);
        p_.leaves_per_round = integer_arg<uint32_t>(leaves_per_round, "leaves_per_round", 1, 4096);
        p_.seed = optional_integer_arg<uint64_t>(seed, "seed").value_or(random_seed());
        p_.material_mix = real_arg(material_mix, "material_mix", 0.0, 1.0);
        batch_ref_ = nb::borrow(batch);
        batch_ = nb::inst_ptr<GameBatch>(batch);
        n_ = batch_->size();
        batch_->visit([&](auto& b) { search_.emplace<Search<size_class_of<decltype(b)>>>(p_, b.size()); });
    }

    // ----- the loop ---------------------------------------------------------------------------

    // Every array given is checked before any tree changes; a network that needs no mask
    // gives none, one that unpacks planes itself gives bits and scalars instead of planes.
    size_t select(nb::handle planes, nb::handle mask, nb::handle bits = nb::none(), nb::handle scalars = nb::none()) {
        const size_t rows = n_ * p_.leaves_per_round, k = batch_->plane_count();
        if (bits.is_none() != scalars.is_none()) throw nb::value_error("bits and scalars go together: give both or neither");
        if (planes.is_none() && bits.is_none())
            throw nb::value_error("select() writes the leaves into planes, or into bits and scalars: give one");
        Output<float> p{}, s{};
        Output<uint8_t> b{};
        Output<bool> m{};
        if (!planes.is_none()) p = output_array<float>(planes, {rows, k, height(), width()}, "float32", "planes");
        if (!bits.is_none()) {
            b = output_array<uint8_t>(bits, {rows, k, packed_plane_bytes(height() * width())}, "uint8", "bits");
            s = output_array<float>(scalars, {rows, k}, "float32", "scalars");
        }
        if (!mask.is_none()) m = output_array<bool>(mask, {rows, action_planes(), height(), width()}, "bool", "mask");
        return select_into(p.data, m.data, b.data, s.data);
    }

    void expand(nb::handle logits, nb::handle values) {
        // The arrays are read before the lock is taken (reading them may run Python code); the
        // leaves they answer are checked again under it.
        const size_t rows = rows_;
        if (rows == 0) throw nb::value_error("expand() needs the leaves of a select() first");
        const CArray<float> logits_in =
            float32_input(logits, {{rows, num_actions()}, {rows, action_planes(), height(), width()}}, "logits");
        const CArray<float> values_in = float32_input(values, {{rows}}, "values", true);
        Answers a;
        a.logits = logits_in.data;
        a.values = values_in.data;
        a.logit_reader = a.value_reader = read_float32;
        a.row = static_cast<int64_t>(num_actions());
        expand_answers(a, rows, "expand()");
    }

    void run(nb::handle evaluate) {
        refuse_if_broken();
        if (rows_) throw nb::value_error("run() cannot start while a select() waits for expand()");
        if (evaluate.is_none()) {
            run_uniform();
            return;
        }
        const size_t rows = n_ * p_.leaves_per_round;
        if (!planes_buffer_.is_valid()) {
            planes_buffer_ = numpy().attr("empty")(nb::make_tuple(rows, batch_->plane_count(), height(), width()), "float32");
            mask_buffer_ = numpy().attr("empty")(nb::make_tuple(rows, action_planes(), height(), width()), "bool");
        }
        for (;;) {
            const size_t k = select(planes_buffer_, mask_buffer_);
            if (!k) break;
            try {
                nb::slice first(nb::int_(0), nb::int_(k), nb::none());
                nb::object out = evaluate(planes_buffer_[first], mask_buffer_[first]);
                if (!PyTuple_Check(out.ptr()) && !PyList_Check(out.ptr()))
                    throw nb::type_error(("evaluate must return (logits, values), got " + kind_of(out)).c_str());
                if (nb::len(out) != 2)
                    throw nb::type_error(("evaluate must return (logits, values), got a sequence of " +
                                          std::to_string(nb::len(out)))
                                             .c_str());
                expand(out[nb::int_(0)], out[nb::int_(1)]);
                if (PyErr_CheckSignals() != 0) throw nb::python_error();
            } catch (...) {
                cancel();
                throw;
            }
        }
    }

    // Rounds of select, evaluate and expand on the search's own arrays: evaluate sees the
    // leaves' planes (or packed planes) and the logits and values it fills, views of arrays
    // made once, or returns arrays of its own, read where they lie. Returns the leaves evaluated.
    size_t run_in_place(nb::handle evaluate, nb::handle packed_arg, nb::handle rounds_arg) {
        refuse_if_broken();
        if (rows_) throw nb::value_error("run_in_place() cannot start while a select() waits for expand()");
        if (!PyCallable_Check(evaluate.ptr()))
            throw nb::type_error(("evaluate must be callable, not " + kind_of(evaluate)).c_str());
        const bool packed = bool_arg(packed_arg, "packed");
        const std::optional<uint64_t> rounds = optional_integer_arg<uint64_t>(rounds_arg, "rounds", 1);
        InPlace& io = packed ? packed_io_ : dense_io_;
        if (!io.logits.is_valid()) make_in_place_arrays(io, packed);
        size_t leaves = 0;
        for (uint64_t round = 0; !rounds || round < *rounds; ++round) {
            const size_t k = packed ? select_into(nullptr, nullptr, io.bits, io.scalars)
                                    : select_into(io.planes, nullptr, nullptr, nullptr, true);
            if (!k) break;
            try {
                std::fill(io.values_data, io.values_data + k, std::numeric_limits<float>::quiet_NaN());
                if (!io.args[k].is_valid()) io.args[k] = in_place_args(io, k, packed);
                nb::object out = nb::steal(PyObject_CallObject(evaluate.ptr(), io.args[k].ptr()));
                if (!out.is_valid()) throw nb::python_error();
                Answers a;
                if (out.is_none()) {
                    a.logits = io.logits_data;
                    a.values = io.values_data;
                    a.logit_reader = a.value_reader = read_float32;
                    a.row = static_cast<int64_t>(num_actions());
                    a.own_values = true;
                } else {
                    returned_answers(out, k, a);
                }
                expand_answers(a, k, "run_in_place()");
                leaves += k;
                if (PyErr_CheckSignals() != 0) throw nb::python_error();
            } catch (...) {
                cancel();
                throw;
            }
        }
        return leaves;
    }

    // Drops the leaves of the last select() that wait for expand().
    void cancel() {
        with_search([&](auto&, auto& s) { cancel_rounds(s); });
    }

    // ----- results ----------------------------------------------------------------------------

    nb::object policy(nb::handle out) {
        auto [array, data] = output_array<float>(out, {n_, num_actions()}, "float32");
        with_search([&](auto& b, auto& s) {
            batch_->parallel([&](size_t i) {
                float* row = data + i * num_actions();
                std::fill(row, row + num_actions(), 0.0f);
                if (!s.current(b, i)) return;
                std::vector<double> policy;
                s.root_policy(i, policy);
                for (size_t k = 0; k < policy.size(); ++k) row[s.tree(i).root_actions[k]] = static_cast<float>(policy[k]);
            });
        });
        return array;
    }

    nb::object visits() {
        auto [array, data] = output_array<int32_t>(nb::none(), {n_, num_actions()}, "int32");
        with_search([&](auto& b, auto& s) {
            batch_->parallel([&](size_t i) {
                int32_t* row = data + i * num_actions();
                std::fill(row, row + num_actions(), 0);
                const int32_t count = s.current(b, i) ? s.root_children(i) : 0;
                const auto& t = s.tree(i);
                for (int32_t k = 0; k < count; ++k) row[t.root_actions[k]] = t.tree.child(t.tree.root(), k).visits;
            });
        });
        return array;
    }

    nb::object root_values() {
        auto [array, data] = output_array<float>(nb::none(), {n_}, "float32");
        with_search([&](auto& b, auto& s) {
            batch_->parallel([&](size_t i) { data[i] = s.current(b, i) ? static_cast<float>(s.root_value(i)) : 0.0f; });
        });
        return array;
    }

    nb::object choose(nb::handle temperature_arg) {
        const double temperature = real_arg(temperature_arg, "temperature", 0.0, 1e300);
        auto [array, data] = output_array<int64_t>(nb::none(), {n_}, "int64");
        with_search([&](auto& b, auto& s) {
            batch_->parallel([&](size_t i) {
                const int32_t k = s.current(b, i) ? s.choose(i, temperature) : -1;
                data[i] = k < 0 ? NO_ACTION : s.tree(i).root_actions[k];
            });
        });
        return array;
    }

    // One hold of the batch's lock: the actions read once, the trees that still describe their
    // games noted, the moves played, and the chosen subtrees kept.
    nb::tuple step(nb::handle actions) {
        refuse_if_broken();
        std::vector<char> live(n_);
        return batch_->step_with(actions, false, {}, [&](auto& b, const std::vector<int64_t>& a, bool played) {
            refuse_if_broken();
            auto& s = std::get<Search<size_class_of<decltype(b)>>>(search_);
            if (!played) {
                cancel_rounds(s);
                batch_->parallel([&](size_t i) { live[i] = s.current(b, i); });
                return;
            }
            changing("step()", [&] {
                batch_->parallel([&](size_t i) {
                    if (live[i] && !b.restarting(i)) s.advance(i, a[i], b);
                    else s.forget(i);
                });
            });
            state_ = State::Idle;
        });
    }

    std::vector<int64_t> principal_variation(nb::handle game, nb::handle max_plies) {
        const size_t i = game_arg(game);
        const size_t plies = integer_arg<size_t>(max_plies, "max_plies", 0, 1u << 20);
        std::vector<int64_t> line;
        with_search([&](auto& b, auto& s) {
            if (s.current(b, i)) s.principal_variation(i, plies, line);
        });
        return line;
    }

    size_t max_depth(nb::handle game) {
        const size_t i = game_arg(game);
        return with_search([&](auto& b, auto& s) -> size_t { return s.current(b, i) ? s.max_depth(i) : 0; });
    }

    // ----- description ------------------------------------------------------------------------

    nb::object batch() const { return batch_ref_; }
    uint32_t simulations() const { return p_.simulations; }
    uint32_t leaves_per_round() const { return p_.leaves_per_round; }
    bool gumbel() const { return p_.gumbel; }
    size_t pending() const { return rows_; }
    size_t memory_bytes() {
        return batch_->visit([&](auto& b) { return std::get<Search<size_class_of<decltype(b)>>>(search_).memory_bytes(); });
    }
    std::string repr() const {
        return "Search(n=" + std::to_string(n_) + ", simulations=" + std::to_string(p_.simulations) +
               (p_.gumbel ? ", gumbel=True" : "") + ", leaves_per_round=" + std::to_string(p_.leaves_per_round) + ")";
    }

private:
    enum class State { Idle, Running, Done };

    size_t game_arg(nb::handle game) const {
        const int64_t i = integer_arg<int64_t>(game, "game", 0, static_cast<int64_t>(n_) - 1);
        return static_cast<size_t>(i);
    }

    template <class S>
    void cancel_rounds(S& s) {
        // evaluate may have failed half-way through writing where it must not: the next leaves
        // are written whole.
        s.in_place_rows().forget();
        if (!rows_) return;
        changing("cancel()", [&] { batch_->parallel([&](size_t i) { s.cancel_round(i); }); });
        rows_ = 0;
    }

    size_t width() const { return batch_->width(); }
    size_t height() const { return batch_->height(); }
    size_t action_planes() const { return batch_->action_planes(); }
    size_t num_actions() const { return batch_->num_actions(); }

    // Starts a search where none runs: after the Search is made, after step(), or after a
    // finished search once a game of the batch has changed.
    template <class B, class S>
    void begin_if_due(B& b, S& s) {
        if (state_ == State::Running) {  // a game changed between rounds starts its tree afresh
            changing("select()", [&] {
                batch_->parallel([&](size_t i) {
                    if (s.stale(b, i)) s.begin(b, i);
                });
            });
            return;
        }
        if (state_ == State::Done) {
            bool changed = false;
            for (size_t i = 0; i < n_ && !changed; ++i) changed = b.takes_action(i) != s.current(b, i);
            if (!changed) return;
        }
        changing("select()", [&] { batch_->parallel([&](size_t i) { s.begin(b, i); }); });
        s.in_place_rows().forget();  // a new search writes its first leaves whole
        state_ = State::Running;
    }

    // With `own_planes`, `planes` is run_in_place's array, which only the search writes: each
    // row is changed where it differs from what it held.
    size_t select_into(float* planes, bool* mask, uint8_t* bits = nullptr, float* scalars = nullptr,
                       bool own_planes = false) {
        return with_search([&](auto& b, auto& s) -> size_t {
            if (rows_) throw nb::value_error("select() was called again before expand() took the leaves of the last one");
            begin_if_due(b, s);
            if (state_ == State::Done) return 0;
            const size_t held = b.selection().size(), per_leaf_planes = held * height() * width();
            const size_t per_leaf_mask = action_planes() * height() * width();
            const size_t per_leaf_bits = held * packed_plane_bytes(height() * width());
            const size_t L = p_.leaves_per_round;
            auto* rows = own_planes && planes ? &s.in_place_rows() : nullptr;
            if (rows && rows->rows() != n_ * L) rows->reset(n_ * L, held, height() * width());
            leaves_.assign(n_, 0);
            first_row_.assign(n_, 0);
            changing("select()", [&] {
                batch_->parallel([&](size_t i) {
                    leaves_[i] = s.select_round(i, b, planes ? planes + i * L * per_leaf_planes : nullptr,
                                                mask ? mask + i * L * per_leaf_mask : nullptr,
                                                bits ? bits + i * L * per_leaf_bits : nullptr,
                                                scalars ? scalars + i * L * held : nullptr, rows, i * L);
                });
            });
            // The leaves move up to the first rows, in game order.
            size_t row = 0;
            for (size_t i = 0; i < n_; ++i) {
                first_row_[i] = row;
                if (row != i * L && leaves_[i]) {
                    if (rows)
                        for (size_t k = 0; k < leaves_[i]; ++k)
                            rows->copy(i * L + k, row + k, planes + (row + k) * per_leaf_planes);
                    else if (planes)
                        std::memmove(planes + row * per_leaf_planes, planes + i * L * per_leaf_planes,
                                     leaves_[i] * per_leaf_planes * sizeof(float));
                    if (bits) {
                        std::memmove(bits + row * per_leaf_bits, bits + i * L * per_leaf_bits, leaves_[i] * per_leaf_bits);
                        std::memmove(scalars + row * held, scalars + i * L * held, leaves_[i] * held * sizeof(float));
                    }
                    if (mask) std::memmove(mask + row * per_leaf_mask, mask + i * L * per_leaf_mask, leaves_[i] * per_leaf_mask);
                }
                row += leaves_[i];
            }
            if (!row) {
                batch_->parallel([&](size_t i) { s.end_round(i); });
                state_ = State::Done;
            }
            rows_ = row;
            return row;
        });
    }

    // Checks the answers of every leaf of the last select() before any tree changes, then
    // gives each leaf its priors (the softmax over its legal actions' logits) and value. Only
    // the legal actions' logits are read, once, into per-game rows of float32.
    void expand_answers(const Answers& in, size_t rows, const char* call) {
        with_search([&](auto& b, auto& s) {
            if (rows_ != rows)
                throw nb::value_error((std::string(call) + ": the leaves of that select() were taken meanwhile").c_str());
            // A game changed since select() (stepped, set or reset) drops its leaves and starts
            // its tree afresh: its rows answer a position it no longer has.
            stale_.assign(n_, 0);
            for (size_t i = 0; i < n_; ++i) stale_[i] = s.stale(b, i);
            if (gathered_.size() != n_) gathered_.resize(n_);
            errors_.assign(n_, std::string());
            batch_->parallel([&](size_t i) {
                if (stale_[i]) return;
                Gathered& g = gathered_[i];
                size_t total = 0;
                for (size_t k = 0; k < leaves_[i]; ++k) {
                    const PendingLeaf& leaf = s.pending_leaf(i, k);
                    total += leaf.actions_end - leaf.actions_begin;
                }
                g.offsets.resize(total);
                g.logits.resize(total);
                g.values.resize(leaves_[i]);
                for (size_t k = 0, at = 0; k < leaves_[i]; ++k) {
                    const size_t r = first_row_[i] + k;
                    const PendingLeaf& leaf = s.pending_leaf(i, k);
                    const int32_t* actions = s.pending_actions(i, k);
                    for (uint32_t c = 0; c < leaf.actions_end - leaf.actions_begin; ++c)
                        g.offsets[at++] = in.logit_offset(r, actions[c]);
                    g.values[k] = in.value(r);
                }
                in.logit_reader(in.logits, g.offsets.data(), total, g.logits.data());
                std::string& error = errors_[i];
                for (size_t k = 0, at = 0; k < leaves_[i] && error.empty(); ++k) {
                    const size_t r = first_row_[i] + k;
                    const float value = g.values[k];
                    if (!(std::isfinite(value) && value >= -1.0f && value <= 1.0f)) {
                        error = "values[" + std::to_string(r) + "] must be within [-1, 1], got " + float_text(value);
                        if (in.own_values && std::isnan(value)) error += " (evaluate must write every row's value)";
                    }
                    const PendingLeaf& leaf = s.pending_leaf(i, k);
                    const int32_t* actions = s.pending_actions(i, k);
                    for (uint32_t c = 0; c < leaf.actions_end - leaf.actions_begin && error.empty(); ++c, ++at)
                        if (!std::isfinite(g.logits[at]))
                            error = "logits[" + std::to_string(r) + ", " + std::to_string(actions[c]) +
                                    "] of a legal action must be finite, got " + float_text(g.logits[at]);
                }
            });
            for (const auto& e : errors_)
                if (!e.empty()) throw nb::value_error(e.c_str());
            changing(call, [&] {
                batch_->parallel([&](size_t i) {
                    if (stale_[i]) {
                        s.cancel_round(i);
                        s.begin(b, i);
                        return;
                    }
                    const Gathered& g = gathered_[i];
                    for (size_t k = 0, at = 0; k < leaves_[i]; ++k) {
                        s.expand_leaf(i, k, g.logits.data() + at, g.values[k]);
                        const PendingLeaf& leaf = s.pending_leaf(i, k);
                        at += leaf.actions_end - leaf.actions_begin;
                    }
                    s.end_round(i);
                });
            });
            rows_ = 0;
        });
    }

    // The search's own arrays for run_in_place(), made once: the leaves' planes (or packed
    // planes), the logits and the values, each shaped for every row a round can have.
    struct InPlace {
        nb::object planes_array, bits_array, scalars_array, logits, values;
        float* planes = nullptr;
        uint8_t* bits = nullptr;
        float* scalars = nullptr;
        float* logits_data = nullptr;
        float* values_data = nullptr;
        std::vector<nb::object> args;  // per row count k: the views evaluate is called with
    };

    void make_in_place_arrays(InPlace& io, bool packed) {
        const size_t rows = n_ * p_.leaves_per_round, k = batch_->plane_count();
        if (packed) {
            auto b = output_array<uint8_t>(nb::none(), {rows, k, packed_plane_bytes(height() * width())}, "uint8");
            auto s = output_array<float>(nb::none(), {rows, k}, "float32");
            std::memset(b.data, 0, rows * k * packed_plane_bytes(height() * width()));
            std::fill(s.data, s.data + rows * k, 0.0f);
            io.bits_array = b.array, io.bits = b.data;
            io.scalars_array = s.array, io.scalars = s.data;
        } else {
            auto p = output_array<float>(nb::none(), {rows, k, height(), width()}, "float32");
            std::fill(p.data, p.data + rows * k * height() * width(), 0.0f);
            // Read-only for evaluate (its views cannot be made writeable): each row keeps what
            // it holds from round to round, and only the search changes it.
            nb::setattr(p.array.attr("flags"), "writeable", nb::bool_(false));
            io.planes_array = p.array, io.planes = p.data;
            with_search([&](auto&, auto& s) { s.in_place_rows().reset(rows, k, height() * width()); });
        }
        auto l = output_array<float>(nb::none(), {rows, num_actions()}, "float32");
        auto v = output_array<float>(nb::none(), {rows}, "float32");
        std::fill(l.data, l.data + rows * num_actions(), 0.0f);
        io.logits_data = l.data, io.values_data = v.data;
        io.args.assign(rows + 1, nb::object());
        // Set last: a failure above leaves the arrays to be made again.
        io.values = v.array;
        io.logits = l.array;
    }

    nb::object in_place_args(const InPlace& io, size_t k, bool packed) {
        nb::slice first(nb::int_(0), nb::int_(k), nb::none());
        if (packed) return nb::make_tuple(io.bits_array[first], io.scalars_array[first], io.logits[first], io.values[first]);
        return nb::make_tuple(io.planes_array[first], io.logits[first], io.values[first]);
    }

    // The (logits, values) evaluate returned, read where they lie.
    void returned_answers(nb::handle out, size_t k, Answers& a) {
        if (!PyTuple_Check(out.ptr()) && !PyList_Check(out.ptr()))
            throw nb::type_error(("evaluate must write logits and values and return None, or return (logits, values); got " +
                                  kind_of(out))
                                     .c_str());
        if (nb::len(out) != 2)
            throw nb::type_error(("evaluate must return (logits, values), got a sequence of " +
                                  std::to_string(nb::len(out)))
                                     .c_str());
        InputArray logits = input_array(out[nb::int_(0)], {{k, num_actions()}, {k, action_planes(), height(), width()}},
                                        "logits");
        InputArray values = input_array(out[nb::int_(1)], {{k}}, "values", true);
        a.logits = logits.data;
        a.logit_reader = logits.reader;
        a.row = logits.strides[0];
        if (logits.shape.size() == 2) {
            a.file = logits.strides[1];
        } else {
            a.plane = logits.strides[1], a.rank = logits.strides[2], a.file = logits.strides[3];
            a.width = width(), a.area = width() * height();
            a.flat = a.rank == a.file * static_cast<int64_t>(width()) &&
                     a.plane == a.rank * static_cast<int64_t>(height());
        }
        a.values = values.data;
        a.value_reader = values.reader;
        a.value_stride = values.strides[0];
        a.held_logits = std::move(logits);
        a.held_values = std::move(values);
    }

    void run_uniform() {
        const uint32_t rounds = static_cast<uint32_t>(std::clamp<size_t>(32768 / n_, 16, 1 << 20));
        for (;;) {
            bool done = with_search([&](auto& b, auto& s) {
                if (rows_) throw nb::value_error("run() cannot start while a select() waits for expand()");
                begin_if_due(b, s);
                if (state_ == State::Done) return true;
                changing("run()", [&] { batch_->parallel([&](size_t i) { s.run_uniform(i, b, rounds); }); });
                for (size_t i = 0; i < n_; ++i)
                    if (!s.finished(i)) return false;
                state_ = State::Done;
                return true;
            });
            if (done) return;
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
        }
    }

    nb::object batch_ref_;
    GameBatch* batch_ = nullptr;
    SearchParams p_;
    size_t n_ = 0;
    SearchVariant search_;
    State state_ = State::Idle;
    std::string broken_;                    // why the search refuses every call, once it does
    size_t rows_ = 0;                       // leaves of the last select() waiting for expand()
    std::vector<size_t> leaves_, first_row_;  // per game: its leaves and its first row
    nb::object planes_buffer_, mask_buffer_;  // run(evaluate)'s arrays
    InPlace dense_io_, packed_io_;            // run_in_place()'s arrays
    // expand's per-game work, kept from round to round
    struct Gathered {
        std::vector<int64_t> offsets;
        std::vector<float> logits, values;
    };
    std::vector<Gathered> gathered_;
    std::vector<char> stale_;
    std::vector<std::string> errors_;
};

}  // namespace

void bind_search(nb::module_& m) {
    nb::class_<SearchObject>(m, "Search", nb::sig("@typing_extensions.disjoint_base\nclass Search()"),
        "A batched tree search: one tree per game of a GameBatch, in C++, driven by your network\n"
        "through NumPy arrays.\n\n"
        "Each round, ``select(planes, mask)`` walks every tree to its next leaves and writes their\n"
        "input planes float32 ``(k, 105, H, W)`` (``(k, len(batch.plane_indices), H, W)`` for a\n"
        "batch made with ``planes=``: just those planes) and legal masks bool ``(k, P, H, W)`` into the\n"
        "first k rows of your arrays (shaped for ``n * leaves_per_round`` rows) and returns k (0\n"
        "once every tree has its simulations); ``expand(logits, values)`` takes the network's\n"
        "logits ``(k, A)`` or ``(k, P, H, W)`` over full actions and values ``(k,)`` in [-1, 1]\n"
        "from the side to move at each leaf (any real dtype, read as float32), and backs them up. ``run(evaluate)`` is that loop. Positions that are over\n"
        "take their value from the rules and never reach the network.\n\n"
        "``run_in_place(evaluate)`` is the same loop on the search's own arrays, made once: the\n"
        "network reads the planes and writes raw logits and values into views of them (or returns\n"
        "arrays of its own, NumPy or any DLPack array, read without a copy); no masks are written,\n"
        "and the search takes the legal logits and their softmax itself. ``rounds=`` bounds a call\n"
        "so that a caller can look between rounds.\n\n"
        "Afterwards ``policy()`` (the training target), ``visits()``, ``root_values()`` and\n"
        "``choose(temperature)`` give the results, and ``step(actions)`` plays the chosen moves in\n"
        "the batch and keeps their subtrees for the next search. Work runs with the GIL released\n"
        "on the batch's threads; each game has its own random stream, so a seed gives the same\n"
        "search on any number of threads. docs/search.md gives the exact rules.")
        .def(nb::init<nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle,
                      nb::handle, nb::handle, nb::handle, nb::handle>(),
             "batch"_a, "simulations"_a, nb::kw_only(), "c_puct"_a = nb::float_(1.25),
             "fpu_reduction"_a = nb::float_(0.0), "forced_playouts"_a = nb::float_(0.0), "dirichlet_alpha"_a = nb::none(),
             "dirichlet_fraction"_a = nb::float_(0.25), "gumbel"_a = nb::bool_(false), "max_considered"_a = nb::int_(16),
             "leaves_per_round"_a = nb::int_(1),
             "seed"_a = nb::none(), "material_mix"_a = nb::float_(0.0),
             nb::sig("def __init__(self, batch: GameBatch, simulations: int, *, c_puct: float = 1.25, "
                     "fpu_reduction: float = 0.0, forced_playouts: float = 0.0, dirichlet_alpha: float | None = None, "
                     "dirichlet_fraction: float = 0.25, gumbel: bool = False, "
                     "max_considered: int = 16, leaves_per_round: int = 1, seed: int | None = None, "
                     "material_mix: float = 0.0) -> None"),
             "A search over every game of ``batch``, ``simulations`` simulations per tree and move.\n\n"
             "c_puct: the exploration weight of PUCT. fpu_reduction: an unvisited child is valued\n"
             "    as its parent less this times the square root of its visited siblings' priors\n"
             "    (PUCT only; 0: as its parent). forced_playouts: k > 0 gives every root child at\n"
             "    least sqrt(k * prior * N) visits and prunes them from ``policy()`` where they did not\n"
             "    pay (PUCT only; 0: none). dirichlet_alpha: Dirichlet noise of this\n"
             "    concentration mixed into the root priors with weight ``dirichlet_fraction`` (PUCT\n"
             "    only; None for none). gumbel: Gumbel-top-k at the root with sequential halving over\n"
             "    ``max_considered`` actions, and the improved policy as ``policy()``.\n"
             "leaves_per_round: leaves per tree and round, kept apart by virtual loss.\n"
             "seed: the random streams of noise and ``choose``; None draws one from the system.\n"
             "material_mix: a leaf's value is this share of ``tanh(m / 4)``, m the material (pawn 1,\n"
             "    knight and bishop 3, rook 5, queen 9) the side to move keeps after the captures that\n"
             "    pay (a capture search at the leaf), and the rest the network's value; 0: the network's.")
        .def("select", &SearchObject::select, "planes"_a = nb::none(), "mask"_a = nb::none(), nb::kw_only(),
             "bits"_a = nb::none(), "scalars"_a = nb::none(),
             nb::sig("def select(self, planes: numpy.typing.NDArray[numpy.float32] | None = None, "
                     "mask: numpy.typing.NDArray[numpy.bool_] | None = None, *, "
                     "bits: numpy.typing.NDArray[numpy.uint8] | None = None, "
                     "scalars: numpy.typing.NDArray[numpy.float32] | None = None) -> int"),
             "Advances every tree to its next leaves; writes their planes (rows, k, H, W) float32\n"
             "(k = len(batch.plane_indices): 105, or the batch's selection of planes, only those\n"
             "computed)\n"
             "and masks (rows, P, H, W) bool into the first k rows (rows = n * leaves_per_round) and\n"
             "returns k, or 0 once the search is complete. mask None: no masks written, for a\n"
             "network that does not read them (``expand`` reads only the legal actions' logits).\n"
             "bits uint8 (rows, k, ceil(H * W / 8)) and scalars float32 (rows, k), given together:\n"
             "the same planes packed as ``GameBatch.packed_planes`` packs them, for a network that\n"
             "unpacks them itself (``unpack_planes`` gives the dense planes back); planes may then be\n"
             "None. Every array given is written.")
        .def("expand", &SearchObject::expand, "logits"_a, "values"_a,
             nb::sig("def expand(self, logits: numpy.typing.ArrayLike, values: numpy.typing.ArrayLike) -> None"),
             "Gives the k leaves of the last ``select`` their priors and values: ``logits`` (k, A) or\n"
             "(k, P, H, W) over full actions (softmax over each leaf's legal actions; other entries are\n"
             "ignored), ``values`` (k,) in [-1, 1] from the side to move at each leaf; float64 and other\n"
             "real dtypes are converted to float32. Refused with nothing changed when a legal logit or a\n"
             "value is not finite or a value is out of range. A game changed since ``select`` starts its\n"
             "tree afresh and its rows are ignored.")
        .def("run", &SearchObject::run, "evaluate"_a = nb::none(),
             nb::sig("def run(self, evaluate: collections.abc.Callable[[numpy.typing.NDArray[numpy.float32], "
                     "numpy.typing.NDArray[numpy.bool_]], tuple[numpy.typing.ArrayLike, numpy.typing.ArrayLike]] "
                     "| None = None) -> None"),
             "Runs the search to the end: ``select``, ``evaluate(planes, mask) -> (logits, values)``,\n"
             "``expand``, until every tree has its simulations. None: uniform priors and value 0, no\n"
             "planes written. Ctrl-C is honoured between rounds; the search can be run on afterwards.")
        .def("run_in_place", &SearchObject::run_in_place, "evaluate"_a.none(), nb::kw_only(), "packed"_a = nb::bool_(false),
             "rounds"_a = nb::none(),
             nb::sig("def run_in_place(self, evaluate: collections.abc.Callable[..., "
                     "tuple[numpy.typing.ArrayLike, numpy.typing.ArrayLike] | None], *, packed: bool = False, "
                     "rounds: int | None = None) -> int"),
             "Runs the search with the network's round trip on the search's own arrays, made once:\n"
             "each round calls ``evaluate(planes, logits, values)`` with views of the first k rows,\n"
             "``planes`` float32 (k, C, H, W) holding the leaves' planes (C = len(batch.plane_indices)),\n"
             "``logits`` float32 (k, A) and ``values`` float32 (k,) for it to fill: raw logits over full\n"
             "actions (the search takes each leaf's legal ones and their softmax) and values in [-1, 1]\n"
             "from the side to move. With ``packed=True`` it is ``evaluate(bits, scalars, logits, values)``,\n"
             "the planes packed as ``GameBatch.packed_planes`` packs them.\n\n"
             "``planes`` is read-only (``writeable`` False, and it cannot be made writeable): each row\n"
             "keeps what it held the round before, and the search changes only what differs for the\n"
             "row's new leaf. evaluate must not write into it by any other way either (a DLPack\n"
             "consumer, a raw pointer); copy it to change it.\n\n"
             "evaluate returns None (it wrote logits and values), or returns ``(logits, values)`` of its\n"
             "own, shaped (k, A) or (k, P, H, W) and (k,) or (k, 1): NumPy arrays, or any object that\n"
             "exports DLPack in CPU memory (PyTorch tensors, JAX arrays) of a float (16, 32 or 64 bits,\n"
             "bfloat16), integer or bool dtype, read in place without a copy; other array-likes are\n"
             "converted by NumPy. A value left unwritten, a legal logit not finite or a value out of\n"
             "range is refused as ``expand`` refuses it.\n\n"
             "rounds: at most this many rounds (None: until every tree has its simulations), so that a\n"
             "caller can look between rounds. Returns the leaves evaluated; 0 once the search is complete.\n"
             "An exception in ``evaluate`` or a refusal drops the round's leaves and propagates; Ctrl-C is\n"
             "honoured between rounds; the search can be run on afterwards. The same seed gives the same\n"
             "search as ``run(evaluate)`` and ``select``/``expand`` with the same network.")
        .def("cancel", &SearchObject::cancel, "Drops the leaves of a ``select`` that wait for ``expand``.")
        .def("policy", &SearchObject::policy, "out"_a = nb::none(),
             nb::sig("def policy(self, out: numpy.typing.NDArray[numpy.float32] | None = None) -> "
                     "numpy.typing.NDArray[numpy.float32]"),
             "The policy target of every game, float32 (n, A): the root's visit distribution (Gumbel:\n"
             "the improved policy), zero outside the legal moves and for games not searched.\n\n"
             "out: None for a new array, or a C-contiguous writable float32 array of that shape,\n"
             "    which is filled and returned.")
        .def("visits", &SearchObject::visits, nb::sig("def visits(self) -> numpy.typing.NDArray[numpy.int32]"),
             "The visits of every root child at its full action, int32 (n, A).")
        .def("root_values", &SearchObject::root_values,
             nb::sig("def root_values(self) -> numpy.typing.NDArray[numpy.float32]"),
             "The searched value of every root from the side to move, float32 (n,).")
        .def("choose", &SearchObject::choose, "temperature"_a = nb::float_(1.0),
             nb::sig("def choose(self, temperature: float = 1.0) -> numpy.typing.NDArray[numpy.int64]"),
             "A full action per game, int64 (n,): drawn with probability proportional to\n"
             "visits^(1/temperature), the most visited for temperature 0; -1 for a game that takes no\n"
             "action.")
        .def("step", &SearchObject::step, "actions"_a,
             nb::sig("def step(self, actions: numpy.typing.ArrayLike) -> "
                     "tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.bool_], "
                     "numpy.typing.NDArray[numpy.bool_]]"),
             "Plays the actions in the batch as ``GameBatch.step`` does (same return) and keeps each\n"
             "chosen child's subtree as the next root (not with gumbel). Until the next search the\n"
             "results describe the kept subtrees under the new positions' actions; games whose tree\n"
             "was not kept read as not searched (zeros, -1).")
        .def("principal_variation", &SearchObject::principal_variation, "game"_a = nb::int_(0),
             "max_plies"_a = nb::int_(64),
             nb::sig("def principal_variation(self, game: int = 0, max_plies: int = 64) -> list[int]"),
             "The most visited line of game ``game``'s tree: full actions from its root, each in the\n"
             "position after the ones before (decode them on a game that plays them in turn); at\n"
             "most ``max_plies``, empty for a game not searched.")
        .def("max_depth", &SearchObject::max_depth, "game"_a = nb::int_(0),
             nb::sig("def max_depth(self, game: int = 0) -> int"),
             "The depth of the deepest visited node of game ``game``'s tree below its root.")
        .def("__repr__", &SearchObject::repr)
        .def_prop_ro("batch", &SearchObject::batch, nb::sig("def batch(self) -> GameBatch"), "The searched GameBatch.")
        .def_prop_ro("simulations", &SearchObject::simulations, "Simulations per tree and search.")
        .def_prop_ro("leaves_per_round", &SearchObject::leaves_per_round, "Leaves per tree and round.")
        .def_prop_ro("gumbel", &SearchObject::gumbel, "Whether the root uses Gumbel sequential halving.")
        .def_prop_ro("pending", &SearchObject::pending, "Leaves of the last select() waiting for expand().")
        .def_prop_ro("memory_bytes", &SearchObject::memory_bytes, "Bytes held by the trees' node arenas.");
}

}  // namespace murkle::rl
