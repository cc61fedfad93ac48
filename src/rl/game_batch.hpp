#pragma once
// The GameBatch object: n games of one size class behind a lock, with the pool that splits
// them and the argument checks of its constructor and pickled state.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <variant>

#include "engine/codec.hpp"
#include "engine/start.hpp"
#include "engine/variant.hpp"
#include "rl/arrays.hpp"
#include "rl/batch.hpp"
#include "rl/exact.hpp"
#include "rl/pool.hpp"

namespace murkle::rl {
namespace nb = nanobind;
using namespace nb::literals;

using BatchVariant = SizeClassVariant<Batch, std::make_integer_sequence<int, 16>>::type;

inline size_t default_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

inline uint64_t random_seed() {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

// The board size of two integer arguments, refused with the size it names.
inline std::pair<uint64_t, uint64_t> board_size_args(nb::handle width, nb::handle height) {
    const int64_t w = integer_arg<int64_t>(width, "width"), h = integer_arg<int64_t>(height, "height");
    if (w < 1 || h < 1 || !game_size_ok(static_cast<uint64_t>(w), static_cast<uint64_t>(h)))
        throw nb::value_error(("board size " + std::to_string(w) + "x" + std::to_string(h) + " is out of range: " +
                               BOARD_RANGE_TEXT)
                                  .c_str());
    return {static_cast<uint64_t>(w), static_cast<uint64_t>(h)};
}

// The start position of a board size already checked.
inline std::string start_fen_or_raise(uint64_t width, uint64_t height) {
    auto fen = start_fen(width, height);
    if (!fen)
        throw nb::value_error(("a " + std::to_string(width) + "x" + std::to_string(height) +
                               " board has no start position: two kings need two squares")
                                  .c_str());
    return *fen;
}

inline GameVariant parse_game(uint64_t width, uint64_t height, const std::string& fen, bool castling, const std::string& where) {
    auto g = make_game_inner(width, height, fen, castling);
    if (!g) throw nb::value_error((where + g.error()).c_str());
    return g.take();
}

// The most games one batch holds: far more than memory allows, and few enough that every count
// and index of them fits any integer type used here.
constexpr uint64_t MAX_GAMES = uint64_t(1) << 32;

// The planes argument of a GameBatch: None for all 105, else a sequence of distinct plane
// indices in [0, 125) (105-116: attack planes, 117-124: check planes), not empty, in the order the observations hold them.
inline PlaneSelection plane_selection_arg(nb::handle v, const char* name = "planes") {
    if (v.is_none()) return {};
    if (!PySequence_Check(v.ptr()) || PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) ||
        PyByteArray_Check(v.ptr()))
        throw nb::type_error((std::string(name) + " must be a sequence of plane indices or None, not " + kind_of(v)).c_str());
    nb::sequence items = nb::borrow<nb::sequence>(v);
    const size_t n = nb::len(items);
    if (n == 0) throw nb::value_error((std::string(name) + " must name at least one plane (None for all 105)").c_str());
    if (n > static_cast<size_t>(SELECTABLE_PLANES))
        throw nb::value_error((std::string(name) + " names " + std::to_string(n) + " planes; there are 125").c_str());
    std::vector<uint8_t> which;
    bool seen[SELECTABLE_PLANES] = {};
    for (size_t k = 0; k < n; ++k) {
        nb::object item = items[k];
        const std::string where = std::string(name) + "[" + std::to_string(k) + "]";
        if (PyBool_Check(item.ptr()))
            throw nb::type_error((where + " must be an integer plane index, not bool").c_str());
        const int64_t p = integer_arg<int64_t>(item, where.c_str(), 0, SELECTABLE_PLANES - 1);
        if (seen[p])
            throw nb::value_error((std::string(name) + " names plane " + std::to_string(p) + " twice").c_str());
        seen[p] = true;
        which.push_back(static_cast<uint8_t>(p));
    }
    return PlaneSelection(std::move(which));
}

// What GameBatch::step writes besides the games: the results, and the next observations
// when asked for (None: made for the results, left out for the observations). The calls that
// write one observation name just its array.
struct StepOutputs {
    nb::handle planes = nb::none(), mask = nb::none(), rewards = nb::none(), done = nb::none(),
               truncated = nb::none(), bits = nb::none(), scalars = nb::none(), mask_bits = nb::none();
};

class GameBatch {
public:
    // Runs f on the batch with the batch's lock held: a call from another thread waits for
    // it, without the GIL, so that the holder can take the GIL back when it needs it. A call
    // made while this same thread holds the lock (Python code run from inside a call: a
    // finalizer, an argument's method) is refused instead of waiting for itself for ever.
    //
    // A process forked while another thread of its parent held the lock inherits it locked,
    // with nobody left to unlock it, and the games that thread was changing half-changed:
    // such a batch refuses every call instead of hanging the child.
    template <class F>
    decltype(auto) visit(F&& f) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            if (owner_.load() == std::this_thread::get_id())
                throw std::runtime_error(
                    "GameBatch is busy with a call of this same thread: a call on a batch cannot be made from "
                    "inside another call on it");
            nb::gil_scoped_release release;
            wait_for_lock(lock);
        }
        locked_in_.store(pool_detail::fork_generation());
        struct Owner {
            std::atomic<std::thread::id>& id;
            explicit Owner(std::atomic<std::thread::id>& o) : id(o) { id.store(std::this_thread::get_id()); }
            ~Owner() { id.store(std::thread::id()); }
        } owner(owner_);
        return std::visit(std::forward<F>(f), batch_);
    }

    // Takes the lock another thread holds. The holder records its fork generation right after
    // locking; a wait well past that moment which still sees an older generation is waiting
    // for a thread of the parent process, which will never unlock.
    void wait_for_lock(std::unique_lock<std::mutex>& lock) {
        using clock = std::chrono::steady_clock;
        const auto started = clock::now();
        for (unsigned k = 0; !lock.try_lock(); ++k) {
            if (k < 64) {
                pool_detail::cpu_relax();
            } else if (k < 128) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                if (locked_in_.load() != pool_detail::fork_generation() &&
                    clock::now() - started > std::chrono::milliseconds(100))
                    throw std::runtime_error(
                        "GameBatch was in use by another thread when this process forked: its games may be "
                        "half-changed and its lock has no holder here; make a new batch in this process");
            }
        }
    }

    // f(i) for every game, split over the pool, without the GIL.
    template <class F>
    void parallel(F&& f) {
        nb::gil_scoped_release release;
        pool_->run(n_, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) f(i);
        });
    }

    GameBatch(nb::handle n_arg, nb::handle width_arg, nb::handle height_arg, nb::handle fen, nb::handle castling_arg,
              nb::handle threads_arg, nb::handle seed_arg, nb::handle max_plies_arg, nb::handle repetitions_arg,
              nb::handle planes_arg) {
        const bool repetitions = bool_arg(repetitions_arg, "repetitions");
        PlaneSelection selection = plane_selection_arg(planes_arg);
        const uint64_t n = integer_arg<uint64_t>(n_arg, "n", 1, MAX_GAMES);
        const auto [width, height] = board_size_args(width_arg, height_arg);
        const auto threads = optional_integer_arg<uint64_t>(threads_arg, "threads", 1);
        const auto seed = optional_integer_arg<uint64_t>(seed_arg, "seed");
        const auto max_plies = optional_integer_arg<uint64_t>(max_plies_arg, "max_plies", 1);
        const bool castle = castling_arg.is_none() ? width == 8 && height == 8 : bool_arg(castling_arg, "castling");
        std::vector<GameVariant> starts;
        if (fen.is_none()) {
            starts.push_back(parse_game(width, height, start_fen_or_raise(width, height), castle, ""));
        } else if (nb::isinstance<nb::str>(fen)) {
            starts.push_back(parse_game(width, height, nb::cast<std::string>(fen), castle, ""));
        } else {
            if (!PySequence_Check(fen.ptr()) || nb::isinstance<nb::bytes>(fen))
                throw nb::type_error(("fen must be a str, a sequence of str or None, not " + kind_of(fen)).c_str());
            std::vector<std::string> fens;
            nb::sequence items = nb::borrow<nb::sequence>(fen);
            for (size_t i = 0, size = nb::len(items); i < size && i <= n; ++i) {
                nb::object item = items[i];
                if (!nb::isinstance<nb::str>(item))
                    throw nb::type_error(("fen[" + std::to_string(i) + "] must be a str, not " + kind_of(item)).c_str());
                fens.push_back(nb::cast<std::string>(item));
            }
            if (fens.size() != n || nb::len(items) != n)
                throw nb::value_error(("fen must be one FEN or a sequence of n = " + std::to_string(n) +
                                       " FENs, got " + std::to_string(nb::len(items)))
                                          .c_str());
            for (size_t i = 0; i < n; ++i)
                starts.push_back(parse_game(width, height, fens[i], castle, "game " + std::to_string(i) + ": "));
        }
        init(n, starts, seed.value_or(random_seed()), max_plies.value_or(0),
             std::min<uint64_t>(threads.value_or(default_threads()), n), repetitions, std::move(selection));
    }

    // ----- observations -----------------------------------------------------------------------

    // The observation arrays a call writes, each checked (or made) before any game changes.
    // Each keeps its array's memory exported while it lives.
    struct Observations {
        Output<float> planes{};
        Output<bool> mask{};
        Output<uint8_t> bits{};
        Output<float> scalars{};
        Output<uint8_t> mask_bits{};

        template <class B>
        void write(const B& batch, size_t i) const {
            const size_t area = batch.area(), k = batch.selection().size();
            if (planes.data) batch.write_planes(i, planes.data + i * k * area);
            if (mask.data) batch.write_mask(i, mask.data + i * batch.planes() * area);
            if (bits.data)
                batch.write_packed(i, bits.data + i * k * packed_plane_bytes(area), scalars.data + i * k);
            if (mask_bits.data) batch.write_mask_bits(i, mask_bits.data + i * packed_plane_bytes(batch.planes() * area));
        }
    };

    // Arrays for the observations asked for: given ones are checked, None ones are made when
    // `make` names them and left out otherwise. A refusal names the argument: `out` for the
    // one array of a call that makes it, else the step's keyword.
    enum : unsigned { PLANES = 1, MASK = 2, PACKED = 4, MASK_BITS = 8 };
    Observations observations(const StepOutputs& given, unsigned make) {
        Observations o;
        const size_t h = height(), w = width(), bytes = packed_plane_bytes(h * w), k = plane_count();
        if (!given.planes.is_none() || (make & PLANES))
            o.planes = output_array<float>(given.planes, {n_, k, h, w}, "float32", (make & PLANES) ? "out" : "planes");
        if (!given.mask.is_none() || (make & MASK))
            o.mask = output_array<bool>(given.mask, {n_, action_planes(), h, w}, "bool", (make & MASK) ? "out" : "mask");
        if (given.bits.is_none() != given.scalars.is_none() && !(make & PACKED))
            throw nb::value_error("bits and scalars go together: give both or neither");
        if (!given.bits.is_none() || (make & PACKED)) {
            o.bits = output_array<uint8_t>(given.bits, {n_, k, bytes}, "uint8", "bits");
            o.scalars = output_array<float>(given.scalars, {n_, k}, "float32", "scalars");
        }
        if (!given.mask_bits.is_none() || (make & MASK_BITS))
            o.mask_bits = output_array<uint8_t>(given.mask_bits, {n_, packed_plane_bytes(num_actions())}, "uint8",
                                                (make & MASK_BITS) ? "out" : "mask_bits");
        return o;
    }

    void observe(const Observations& o) {
        visit([&](auto& b) { parallel([&](size_t i) { o.write(b, i); }); });
    }

    nb::object planes(nb::handle out) {
        Observations o = observations({.planes = out}, PLANES);
        observe(o);
        return o.planes.array;
    }

    nb::object legal_mask(nb::handle out) {
        Observations o = observations({.mask = out}, MASK);
        observe(o);
        return o.mask.array;
    }

    nb::tuple packed_planes(nb::handle bits, nb::handle scalars) {
        Observations o = observations({.bits = bits, .scalars = scalars}, PACKED);
        observe(o);
        return nb::make_tuple(o.bits.array, o.scalars.array);
    }

    nb::object packed_legal_mask(nb::handle out) {
        Observations o = observations({.mask_bits = out}, MASK_BITS);
        observe(o);
        return o.mask_bits.array;
    }

    // ----- play -------------------------------------------------------------------------------

    nb::tuple step(nb::handle actions, const StepOutputs& out = {}) { return step_with(actions, false, out); }
    nb::tuple step_planes(nb::handle actions, const StepOutputs& out) { return step_with(actions, true, out); }

    nb::object random_actions(nb::handle out) {
        return per_game<int64_t>(out, "int64", [](auto& b, size_t i) { return b.random_action(i); });
    }

    nb::object sample(nb::handle logits, double temperature, nb::handle out) {
        if (!(temperature >= 0.0) || std::isinf(temperature))
            throw nb::value_error(("temperature must be finite and at least 0, got " + std::to_string(temperature)).c_str());
        const size_t actions = num_actions();
        const ArrayInput a = real_input(logits, {{n_, actions}, {n_, action_planes(), height(), width()}}, "logits");
        // float64 logits are read as they are; any other real dtype as float32
        const ItemType item = a.item();
        const bool doubles = item.kind == 'f' && item.size == 8;
        auto [result, chosen] = output_array<int64_t>(out, {n_}, "int64");
        std::vector<uint64_t> streams(n_);
        std::vector<uint8_t> errors(n_);
        auto draw = [&](const auto* data) {
            visit([&](auto& b) {
                using Error = typename std::remove_cvref_t<decltype(b)>::SampleError;
                parallel([&](size_t i) {
                    errors[i] = static_cast<uint8_t>(b.sample_action(i, data + i * actions, temperature, chosen[i], streams[i]));
                });
                for (size_t i = 0; i < n_; ++i) {
                    if (errors[i] == static_cast<uint8_t>(Error::NotFinite))
                        throw nb::value_error(("game " + std::to_string(i) + ": the logits of legal actions must be finite or -inf").c_str());
                    if (errors[i] == static_cast<uint8_t>(Error::NoWeight))
                        throw nb::value_error(("game " + std::to_string(i) + ": every legal action has logit -inf").c_str());
                }
                for (size_t i = 0; i < n_; ++i) b.set_rng_state(i, streams[i]);
            });
        };
        if (doubles) draw(c_array<double>(a, "float64", "logits").data);
        else draw(c_array<float>(a, "float32", "logits").data);
        return result;
    }

    nb::tuple legal_actions() {
        return visit([&](auto& b) {
            std::vector<int64_t> counts(n_);
            parallel([&](size_t i) { counts[i] = b.takes_action(i) ? static_cast<int64_t>(b.legal(i).size) : 0; });
            auto [offsets, o] = output_array<int64_t>(nb::none(), {n_ + 1}, "int64");
            o[0] = 0;
            for (size_t i = 0; i < n_; ++i) o[i + 1] = o[i] + counts[i];
            auto [actions, a] = output_array<int64_t>(nb::none(), {static_cast<size_t>(o[n_])}, "int64");
            parallel([&, a = a, o = o](size_t i) {
                if (!counts[i]) return;
                const LegalView v = b.legal(i);
                for (size_t k = 0; k < v.size; ++k) a[o[i] + k] = b.full_action(v, k);
            });
            return nb::make_tuple(actions, offsets);
        });
    }

    // The plies run in chunks of about CHUNK_STEPS game steps. Before each chunk every game's
    // history is given room for it, and after it a pending signal (Ctrl-C) is acted on, so
    // that both stop the games between two plies, all at the same one.
    static constexpr uint64_t CHUNK_STEPS = 1 << 16;

    nb::dict play_random(nb::handle plies_arg) {
        const uint64_t plies = integer_arg<uint64_t>(plies_arg, "plies", 0);
        std::vector<Tally> tallies(n_);
        const uint64_t chunk = std::max<uint64_t>(1, CHUNK_STEPS / n_);
        visit([&](auto& b) {
            for (uint64_t done = 0; done < plies;) {
                const uint64_t now = std::min(chunk, plies - done);
                parallel([&](size_t i) { b.reserve_history(i, now); });
                parallel([&](size_t i) {
                    Tally& t = tallies[i];
                    for (uint64_t k = 0; k < now; ++k) {
                        const int64_t a = b.random_action(i);
                        if (a != NO_ACTION) ++t.moves;
                        t.add(b.step(i, b.find_full(i, a)));
                    }
                });
                done += now;
                if (done < plies && PyErr_CheckSignals() != 0) throw nb::python_error();
            }
        });
        Tally all;
        for (const Tally& t : tallies) all.merge(t);
        nb::dict d;
        d["steps"] = plies * n_;
        d["moves"] = all.moves;
        d["finished"] = all.finished;
        d["white_wins"] = all.outcomes[0];
        d["black_wins"] = all.outcomes[1];
        d["draws"] = all.draws;
        d["truncated"] = all.truncated;
        return d;
    }

    // ----- per-game facts ----------------------------------------------------------------------

    nb::object turns(nb::handle out) {
        return per_game<int8_t>(out, "int8", [](auto& b, size_t i) { return static_cast<int8_t>(b.game(i).turn()); });
    }
    nb::object plies(nb::handle out) {
        return per_game<int64_t>(out, "int64", [](auto& b, size_t i) { return static_cast<int64_t>(b.game(i).history().size()); });
    }
    nb::object outcomes(nb::handle out) {
        return per_game<int8_t>(out, "int8", [](auto& b, size_t i) {
            const auto o = b.status(i).outcome;
            return static_cast<int8_t>(o ? static_cast<int>(*o) : -1);
        });
    }

    // ----- games ------------------------------------------------------------------------------

    nb::object game(nb::handle i) {
        const size_t k = index(i);
        return visit([&](auto& b) {
            return game_object(GameVariant(std::in_place_type<std::remove_cvref_t<decltype(b.game(k))>>, b.game(k)));
        });
    }

    void set_game(nb::handle i, nb::handle obj) {
        const size_t k = index(i);
        GameVariant g = game_value(obj);
        visit([&](auto& b) {
            using G = std::remove_cvref_t<decltype(b.game(0))>;
            auto* same = std::get_if<G>(&g);
            if (!same || same->width() != b.width() || same->height() != b.height())
                throw nb::value_error(("game is " + size_text(g) + " but the batch plays " + std::to_string(b.width()) +
                                       "x" + std::to_string(b.height()))
                                          .c_str());
            b.set_game(k, *same);
        });
    }

    std::vector<std::string> fens() {
        std::vector<std::string> out(n_);
        visit([&](auto& b) { parallel([&](size_t i) { out[i] = b.game(i).to_fen(); }); });
        return out;
    }

    void reset(nb::handle indices) {
        std::vector<size_t> which;
        if (indices.is_none()) {
            for (size_t i = 0; i < n_; ++i) which.push_back(i);
        } else {
            nb::object a = numpy().attr("ravel")(numpy().attr("asarray")(indices));
            for (int64_t i : integer_vector(a, nb::len(a), "indices")) which.push_back(index(i));
        }
        visit([&](auto& b) {
            for (size_t i : which) b.reset(i);
        });
    }

    // ----- description ------------------------------------------------------------------------

    size_t size() const { return n_; }
    size_t threads() const { return pool_->size(); }
    uint64_t width() const { return std::visit([](auto& b) -> uint64_t { return b.width(); }, batch_); }
    uint64_t height() const { return std::visit([](auto& b) -> uint64_t { return b.height(); }, batch_); }
    uint64_t action_planes() const { return std::visit([](auto& b) -> uint64_t { return b.planes(); }, batch_); }
    uint64_t num_actions() const { return action_planes() * width() * height(); }
    bool repetitions() const { return std::visit([](auto& b) { return b.repetitions(); }, batch_); }
    // The input planes the observations hold, in order (all 105 unless the batch was made
    // with planes=).
    const PlaneSelection& selection() const { return std::visit([](auto& b) -> const PlaneSelection& { return b.selection(); }, batch_); }
    size_t plane_count() const { return selection().size(); }
    nb::tuple plane_indices() const {
        nb::list out;
        for (uint8_t p : selection().indices) out.append(nb::int_(p));
        return nb::tuple(out);
    }
    std::optional<uint64_t> max_plies() const {
        const uint64_t m = std::visit([](auto& b) { return b.max_plies(); }, batch_);
        return m ? std::optional<uint64_t>(m) : std::nullopt;
    }

    std::string repr() const {
        return "GameBatch(n=" + std::to_string(n_) + ", width=" + std::to_string(width()) +
               ", height=" + std::to_string(height()) + ", threads=" + std::to_string(threads()) + planes_text() + ")";
    }
    std::string planes_text() const {
        if (selection().all) return "";
        std::string text = ", planes=[";
        for (size_t k = 0; k < plane_count(); ++k) text += (k ? ", " : "") + std::to_string(selection().indices[k]);
        return text + "]";
    }

    // ----- pickling ---------------------------------------------------------------------------

    nb::tuple state() {
        return visit([&](auto& b) {
            auto bytes = [](const std::string& s) { return nb::bytes(s.data(), s.size()); };
            nb::list starts, games, restart, rng;
            for (const auto& s : b.starts()) starts.append(bytes(write_game(s)));
            for (size_t i = 0; i < n_; ++i) {
                games.append(bytes(write_game(b.game(i))));
                restart.append(b.restarting(i));
                rng.append(b.rng_state(i));
            }
            nb::object planes = b.selection().all ? nb::none() : nb::object(plane_indices());
            return nb::make_tuple(1, b.width(), b.height(), starts, games, restart, rng, b.max_plies(), threads(),
                                  b.repetitions(), planes);
        });
    }

    // Everything is read and checked before the batch is made, so that a refused state leaves
    // nothing behind.
    static void restore(GameBatch* self, nb::tuple t) {
        if (t.size() < 9 || t.size() > 11 || !nb::isinstance<nb::int_>(t[0]) || !t[0].equal(nb::int_(1)))
            throw nb::value_error("unsupported GameBatch state");
        const auto [width, height] = board_size_args(t[1], t[2]);
        auto items = [](nb::handle v, const char* name) {
            if (!nb::isinstance<nb::list>(v) && !nb::isinstance<nb::tuple>(v))
                throw nb::type_error(("GameBatch state: " + std::string(name) + " must be a list, not " + kind_of(v)).c_str());
            return nb::borrow<nb::sequence>(v);
        };
        auto item_name = [](const char* name, size_t i) { return "GameBatch state: " + std::string(name) + "[" + std::to_string(i) + "]"; };
        auto games = [&](nb::handle v, const char* name) {
            std::vector<GameVariant> out;
            nb::sequence list = items(v, name);
            for (size_t i = 0, n = nb::len(list); i < n; ++i) {
                nb::object b = list[i];
                if (!nb::isinstance<nb::bytes>(b))
                    throw nb::type_error((item_name(name, i) + " must be bytes, not " + kind_of(b)).c_str());
                const nb::bytes bytes = nb::borrow<nb::bytes>(b);
                out.push_back(read_game(width, height, std::string_view(bytes.c_str(), bytes.size()), item_name(name, i)));
            }
            return out;
        };
        const std::vector<GameVariant> starts = games(t[3], "starts"), played = games(t[4], "games");
        const size_t n = played.size();
        nb::sequence restart_list = items(t[5], "restart"), rng_list = items(t[6], "rng");
        if (n < 1 || n > MAX_GAMES || nb::len(restart_list) != n || nb::len(rng_list) != n ||
            (starts.size() != 1 && starts.size() != n))
            throw nb::value_error("inconsistent GameBatch state");
        std::vector<char> restart(n);
        std::vector<uint64_t> rng(n);
        for (size_t i = 0; i < n; ++i) {
            nb::object r = restart_list[i];
            if (!nb::isinstance<nb::bool_>(r))
                throw nb::type_error((item_name("restart", i) + " must be a bool, not " + kind_of(r)).c_str());
            restart[i] = nb::cast<bool>(r);
            rng[i] = integer_arg<uint64_t>(rng_list[i], item_name("rng", i).c_str());
        }
        const uint64_t max_plies = integer_arg<uint64_t>(t[7], "GameBatch state: max_plies");
        const uint64_t threads = integer_arg<uint64_t>(t[8], "GameBatch state: threads", 1);

        if (t.size() >= 10 && !nb::isinstance<nb::bool_>(t[9]))
            throw nb::type_error(("GameBatch state: repetitions must be a bool, not " + kind_of(t[9])).c_str());
        const bool repetitions = t.size() >= 10 && nb::cast<bool>(t[9]);
        PlaneSelection selection = t.size() == 11 ? plane_selection_arg(t[10], "GameBatch state: planes") : PlaneSelection();

        GameBatch* made = new (self) GameBatch(n, starts, 0, max_plies, std::min<uint64_t>(threads, n), repetitions,
                                                 std::move(selection));
        made->visit([&](auto& b) {
            using G = std::remove_cvref_t<decltype(b.game(0))>;
            for (size_t i = 0; i < n; ++i) {
                b.set_game(i, std::get<G>(played[i]), restart[i]);
                b.set_rng_state(i, rng[i]);
            }
        });
    }

private:
    struct Tally {
        uint64_t moves = 0, finished = 0, draws = 0, truncated = 0, outcomes[2] = {0, 0};
        void add(const StepResult& r) {
            if (!r.done) return;
            ++finished;
            if (r.truncated) ++truncated;
            else if (r.outcome && winner(*r.outcome)) ++outcomes[*winner(*r.outcome) == Color::White ? 0 : 1];
            else ++draws;
        }
        void merge(const Tally& t) {
            moves += t.moves;
            finished += t.finished;
            draws += t.draws;
            truncated += t.truncated;
            outcomes[0] += t.outcomes[0];
            outcomes[1] += t.outcomes[1];
        }
    };

    GameBatch(size_t n, const std::vector<GameVariant>& starts, uint64_t seed, uint64_t max_plies, size_t threads,
              bool repetitions, PlaneSelection selection) {
        init(n, starts, seed, max_plies, threads, repetitions, std::move(selection));
    }

    void init(size_t n, const std::vector<GameVariant>& starts, uint64_t seed, uint64_t max_plies, size_t threads,
              bool repetitions, PlaneSelection selection) {
        n_ = n;
        with_size_class(static_cast<int>(starts[0].index()) + 1, [&](auto NW) {
            std::vector<Game<NW()>> games;
            for (const auto& s : starts) games.push_back(std::get<Game<NW()>>(s));
            batch_.template emplace<Batch<NW()>>(n, std::move(games), seed, max_plies, repetitions, selection);
            return 0;
        });
        pool_ = std::make_unique<ThreadPool>(threads);
        chosen_.resize(n);
        refused_.resize(n);
    }

    static GameVariant read_game(uint64_t width, uint64_t height, std::string_view bytes, const std::string& where) {
        const int nw = static_cast<int>(size_class(width, height));
        return with_size_class(nw, [&](auto NW) -> std::optional<GameVariant> {
                   auto g = GameCodec<NW()>::read(bytes);
                   if (!g || g.value().width() != width || g.value().height() != height)
                       throw nb::value_error((where + ": invalid game bytes of a " + std::to_string(width) + "x" +
                                              std::to_string(height) + " game")
                                                 .c_str());
                   return GameVariant(std::in_place_type<Game<NW()>>, g.take());
               })
            .value();
    }

    // A game index, negative ones counting from the end.
    size_t index(int64_t i) const {
        const int64_t n = static_cast<int64_t>(n_);
        if (i < -n || i >= n)
            throw nb::index_error(("game index " + std::to_string(i) + " is out of range for " + std::to_string(n_) + " games").c_str());
        return static_cast<size_t>(i < 0 ? i + n : i);
    }
    size_t index(nb::handle i) const {
        const nb::int_ v = integer_value(i, "i");
        const auto k = int64_value(v);
        if (!k)
            throw nb::index_error(("game index " + std::string(nb::str(v).c_str()) + " is out of range for " +
                                   std::to_string(n_) + " games").c_str());
        return index(*k);
    }

    // A NumPy vector of f(batch, i) for every game, into `out` when given.
    template <class T, class F>
    nb::object per_game(nb::handle out, const char* dtype, F&& f) {
        auto [array, data] = output_array<T>(out, {n_}, dtype);
        visit([&, data = data](auto& b) { parallel([&](size_t i) { data[i] = f(b, i); }); });
        return array;
    }

public:
    // Plays the actions as step() does; `around(b, a, played)` runs under the same hold of the
    // lock, once before the games move (played false, after every action was checked) and once
    // after (played true), with the actions read once.
    struct NoHook {
        template <class B>
        void operator()(B&, const std::vector<int64_t>&, bool) const {}
    };
    template <class Around = NoHook>
    nb::tuple step_with(nb::handle actions, bool by_plane, const StepOutputs& out, Around&& around = {}) {
        const std::vector<int64_t> a = integer_vector(actions, n_, by_plane ? "plane_actions" : "actions");
        auto [rewards, r] = output_array<float>(out.rewards, {n_}, "float32", "rewards");
        auto [done, d] = output_array<bool>(out.done, {n_}, "bool", "done");
        auto [truncated, t] = output_array<bool>(out.truncated, {n_}, "bool", "truncated");
        const Observations o = observations(out, 0);
        visit([&, r = r, d = d, t = t](auto& b) {
            // Every action is checked before any game moves.
            parallel([&](size_t i) {
                chosen_[i] = b.takes_action(i) ? (by_plane ? b.find_plane(i, a[i]) : b.find_full(i, a[i])) : std::nullopt;
                refused_[i] = b.takes_action(i) && !chosen_[i];
            });
            for (size_t i = 0; i < n_; ++i)
                if (refused_[i])
                    throw nb::value_error(("game " + std::to_string(i) + ": " + (by_plane ? "move plane " : "action ") +
                                           std::to_string(a[i]) + " is not legal")
                                              .c_str());
            around(b, a, false);
            parallel([&](size_t i) {
                const StepResult s = b.step(i, chosen_[i]);
                r[i] = s.reward;
                d[i] = s.done;
                t[i] = s.truncated;
                o.write(b, i);
            });
            around(b, a, true);
        });
        return nb::make_tuple(rewards, done, truncated);
    }

private:

    size_t n_ = 0;
    BatchVariant batch_;
    std::unique_ptr<ThreadPool> pool_;
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};  // the thread holding mutex_, if any
    std::atomic<uint64_t> locked_in_{0};    // the fork generation of mutex_'s last holder
    std::vector<std::optional<EMove>> chosen_;
    std::vector<char> refused_;
};

}  // namespace murkle::rl
