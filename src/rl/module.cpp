// murkle_rl._core: batched games over the engine, NumPy arrays in and out, the GIL released
// while the engine works. Games cross to and from `murkle_chess.Game` objects by value.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <variant>

#include "engine/codec.hpp"
#include "engine/start.hpp"
#include "engine/variant.hpp"
#include "python/classes.hpp"
#include "rl/batch.hpp"
#include "rl/pool.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace murkle::rl {
namespace {

using BatchVariant = SizeClassVariant<Batch, std::make_integer_sequence<int, 16>>::type;

// ------------------------------------------------------------------ murkle_chess objects

// The classes of the exact module, looked up once. Objects of them are read and made here
// through their shared layout, under their borrow counters.
void bind_exact_module() {
    if (py::GameObj::type) return;
    nb::module_ exact = nb::module_::import_("murkle_chess");
    nb::object game = exact.attr("Game"), move = exact.attr("Move");
    py::GameObj::type = reinterpret_cast<PyTypeObject*>(game.release().ptr());
    py::MoveObj::type = reinterpret_cast<PyTypeObject*>(move.release().ptr());
}

// A copy of the engine game held by a murkle_chess.Game.
GameVariant game_value(nb::handle obj, const char* what = "game") {
    bind_exact_module();
    if (Py_TYPE(obj.ptr()) != py::GameObj::type)
        throw nb::type_error((std::string(what) + " must be a murkle_chess.Game, not " +
                              nb::inst_name(obj).c_str()).c_str());
    auto& self = py::GameObj::cast(obj.ptr());
    py::Borrow borrow(self.borrow, py::Access::Shared);
    if (!borrow) throw nb::python_error();
    return self.value;
}

nb::object game_object(GameVariant&& value) {
    bind_exact_module();
    PyObject* o = py::GameObj::make(std::move(value));
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

Move move_value(nb::handle obj) {
    bind_exact_module();
    if (Py_TYPE(obj.ptr()) != py::MoveObj::type)
        throw nb::type_error((std::string("move must be a murkle_chess.Move, not ") + nb::inst_name(obj).c_str()).c_str());
    return py::MoveObj::cast(obj.ptr()).value;
}

nb::object move_object(const Move& m) {
    bind_exact_module();
    PyObject* o = py::MoveObj::make(m);
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// ------------------------------------------------------------------ arrays

// Kept for the life of the process: a static object would be released after the interpreter ends.
nb::module_& numpy() {
    static nb::module_* np = new nb::module_(nb::module_::import_("numpy"));
    return *np;
}

std::string shape_text(const std::vector<size_t>& shape) {
    std::string s = "(";
    for (size_t k = 0; k < shape.size(); ++k) s += (k ? ", " : "") + std::to_string(shape[k]);
    return s + (shape.size() == 1 ? ",)" : ")");
}

// A C-contiguous, writable array of dtype T and the given shape: `out` itself when it is
// one, a new array when `out` is None; anything else is refused with the reason.
template <class T>
std::pair<nb::object, T*> output_array(nb::handle out, const std::vector<size_t>& shape, const char* dtype) {
    nb::object array;
    if (out.is_none()) {
        array = numpy().attr("empty")(nb::tuple(nb::cast(shape)), dtype);
    } else {
        if (!nb::isinstance(out, numpy().attr("ndarray")))
            throw nb::type_error(("out must be a numpy.ndarray, not " + std::string(nb::inst_name(out).c_str())).c_str());
        const std::string got = nb::cast<std::string>(out.attr("dtype").attr("name"));
        if (got != dtype)
            throw nb::type_error(("out must have dtype " + std::string(dtype) + ", got " + got).c_str());
        const auto got_shape = nb::cast<std::vector<size_t>>(out.attr("shape"));
        if (got_shape != shape)
            throw nb::value_error(("out must have shape " + shape_text(shape) + ", got " + shape_text(got_shape)).c_str());
        if (!nb::cast<bool>(out.attr("flags").attr("c_contiguous")))
            throw nb::value_error("out must be C-contiguous");
        if (!nb::cast<bool>(out.attr("flags").attr("writeable"))) throw nb::value_error("out must be writeable");
        array = nb::borrow(out);
    }
    nb::ndarray<T, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(array, view, false)) throw nb::type_error("out could not be viewed as a C array");
    return {array, view.data()};
}

// Integers of a one-dimensional array-like of length n, as int64.
std::vector<int64_t> integer_vector(nb::handle values, size_t n, const char* name) {
    nb::object a = numpy().attr("asarray")(values);
    const std::string kind = nb::cast<std::string>(a.attr("dtype").attr("kind"));
    if (kind != "i" && kind != "u" && !(kind == "b" && n == 0))
        throw nb::type_error((std::string(name) + " must hold integers, got dtype " +
                              nb::cast<std::string>(a.attr("dtype").attr("name")))
                                 .c_str());
    const auto shape = nb::cast<std::vector<size_t>>(a.attr("shape"));
    if (shape != std::vector<size_t>{n})
        throw nb::value_error((std::string(name) + " must have shape " + shape_text({n}) + ", got " + shape_text(shape)).c_str());
    nb::object c = numpy().attr("ascontiguousarray")(a, "int64");
    nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(c, view, false)) throw nb::type_error(std::string(name).append(" could not be read").c_str());
    return std::vector<int64_t>(view.data(), view.data() + n);
}

template <class T>
nb::object vector_array(const std::vector<T>& v, const char* dtype) {
    auto [array, data] = output_array<T>(nb::none(), {v.size()}, dtype);
    std::copy(v.begin(), v.end(), data);
    return array;
}

// ------------------------------------------------------------------ the batch object

size_t default_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

uint64_t random_seed() {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

void check_game_size(uint64_t width, uint64_t height) {
    if (!game_size_ok(width, height))
        throw nb::value_error(("board size " + std::to_string(width) + "x" + std::to_string(height) +
                               " is out of range: " + BOARD_RANGE_TEXT)
                                  .c_str());
}

std::string start_fen_or_raise(uint64_t width, uint64_t height) {
    check_game_size(width, height);
    auto fen = start_fen(width, height);
    if (!fen)
        throw nb::value_error(("a " + std::to_string(width) + "x" + std::to_string(height) +
                               " board has no start position: two kings need two squares")
                                  .c_str());
    return *fen;
}

GameVariant parse_game(uint64_t width, uint64_t height, const std::string& fen, bool castling, const std::string& where) {
    auto g = make_game_inner(width, height, fen, castling);
    if (!g) throw nb::value_error((where + g.error()).c_str());
    return g.take();
}

class GameBatch {
    // Runs f on the batch with the batch's lock held: a call from another thread waits for
    // it, without the GIL, so that the holder can take the GIL back when it needs it.
    template <class F>
    decltype(auto) visit(F&& f) {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            nb::gil_scoped_release release;
            lock.lock();
        }
        return std::visit(std::forward<F>(f), batch_);
    }

    // f(i) for every game, split over the pool, without the GIL.
    template <class F>
    void parallel(F&& f) {
        nb::gil_scoped_release release;
        pool_->run(n_, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) f(i);
        });
    }

public:
    GameBatch(size_t n, uint64_t width, uint64_t height, nb::handle fen, std::optional<bool> castling,
              std::optional<size_t> threads, std::optional<uint64_t> seed, std::optional<uint64_t> max_plies) {
        if (n < 1) throw nb::value_error("n must be at least 1, got 0");
        check_game_size(width, height);
        if (threads && *threads < 1) throw nb::value_error("threads must be at least 1");
        if (max_plies && *max_plies < 1) throw nb::value_error("max_plies must be at least 1");
        const bool castle = castling.value_or(width == 8 && height == 8);
        std::vector<GameVariant> starts;
        if (fen.is_none()) {
            starts.push_back(parse_game(width, height, start_fen_or_raise(width, height), castle, ""));
        } else if (nb::isinstance<nb::str>(fen)) {
            starts.push_back(parse_game(width, height, nb::cast<std::string>(fen), castle, ""));
        } else {
            std::vector<std::string> fens;
            if (!nb::try_cast(fen, fens))
                throw nb::type_error(("fen must be a str, a sequence of str or None, not " +
                                      std::string(nb::inst_name(fen).c_str()))
                                         .c_str());
            if (fens.size() != n)
                throw nb::value_error(("fen must be one FEN or a sequence of n = " + std::to_string(n) +
                                       " FENs, got " + std::to_string(fens.size()))
                                          .c_str());
            for (size_t i = 0; i < n; ++i)
                starts.push_back(parse_game(width, height, fens[i], castle, "game " + std::to_string(i) + ": "));
        }
        init(n, starts, seed.value_or(random_seed()), max_plies.value_or(0),
             std::min(threads.value_or(default_threads()), n));
    }

    // ----- observations -----------------------------------------------------------------------

    nb::object planes(nb::handle out) {
        return visit([&](auto& b) {
            const size_t area = b.area();
            auto [array, data] = output_array<float>(out, {b.size(), TOTAL_INPUT_PLANES, b.height(), b.width()}, "float32");
            parallel([&](size_t i) { b.write_planes(i, data + i * TOTAL_INPUT_PLANES * area); });
            return array;
        });
    }

    nb::object legal_mask(nb::handle out) {
        return visit([&](auto& b) {
            const size_t per_game = b.planes() * b.area();
            auto [array, data] = output_array<bool>(out, {b.size(), b.planes(), b.height(), b.width()}, "bool");
            parallel([&](size_t i) { b.write_mask(i, data + i * per_game); });
            return array;
        });
    }

    // ----- play -------------------------------------------------------------------------------

    nb::tuple step(nb::handle actions) { return step_with(actions, false); }
    nb::tuple step_planes(nb::handle actions) { return step_with(actions, true); }

    nb::object random_actions() {
        std::vector<int64_t> out(n_);
        visit([&](auto& b) { parallel([&](size_t i) { out[i] = b.random_action(i); }); });
        return vector_array(out, "int64");
    }

    nb::dict play_random(size_t plies) {
        std::vector<Tally> tallies(n_);
        visit([&](auto& b) {
            parallel([&](size_t i) {
                Tally& t = tallies[i];
                for (size_t k = 0; k < plies; ++k) {
                    const int64_t a = b.random_action(i);
                    if (a != NO_ACTION) ++t.moves;
                    t.add(b.step(i, b.find_full(i, a)));
                }
            });
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

    nb::object turns() {
        return per_game<int8_t>("int8", [](auto& b, size_t i) { return static_cast<int8_t>(b.game(i).turn()); });
    }
    nb::object plies() {
        return per_game<int64_t>("int64", [](auto& b, size_t i) { return static_cast<int64_t>(b.game(i).history().size()); });
    }
    nb::object outcomes() {
        return per_game<int8_t>("int8", [](auto& b, size_t i) {
            const auto o = b.status(i).outcome;
            return static_cast<int8_t>(o ? static_cast<int>(*o) : -1);
        });
    }

    // ----- games ------------------------------------------------------------------------------

    nb::object game(int64_t i) {
        const size_t k = index(i);
        return visit([&](auto& b) {
            return game_object(GameVariant(std::in_place_type<std::remove_cvref_t<decltype(b.game(k))>>, b.game(k)));
        });
    }

    void set_game(int64_t i, nb::handle obj) {
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
            for (int64_t i : integer_vector(a, nb::cast<size_t>(a.attr("size")), "indices")) which.push_back(index(i));
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
    std::optional<uint64_t> max_plies() const {
        const uint64_t m = std::visit([](auto& b) { return b.max_plies(); }, batch_);
        return m ? std::optional<uint64_t>(m) : std::nullopt;
    }

    std::string repr() const {
        return "GameBatch(n=" + std::to_string(n_) + ", width=" + std::to_string(width()) +
               ", height=" + std::to_string(height()) + ", threads=" + std::to_string(threads()) + ")";
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
            return nb::make_tuple(1, b.width(), b.height(), starts, games, restart, rng, b.max_plies(), threads());
        });
    }

    static void restore(GameBatch* self, nb::tuple t) {
        if (t.size() != 9 || nb::cast<int>(t[0]) != 1) throw nb::value_error("unsupported GameBatch state");
        const uint64_t width = nb::cast<uint64_t>(t[1]), height = nb::cast<uint64_t>(t[2]);
        check_game_size(width, height);
        auto starts_bytes = nb::cast<std::vector<nb::bytes>>(t[3]);
        auto games_bytes = nb::cast<std::vector<nb::bytes>>(t[4]);
        auto restart = nb::cast<std::vector<bool>>(t[5]);
        auto rng = nb::cast<std::vector<uint64_t>>(t[6]);
        const size_t n = games_bytes.size();
        if (n < 1 || restart.size() != n || rng.size() != n || (starts_bytes.size() != 1 && starts_bytes.size() != n))
            throw nb::value_error("inconsistent GameBatch state");
        auto read = [&](const nb::bytes& b) { return read_game(width, height, std::string_view(b.c_str(), b.size())); };
        std::vector<GameVariant> starts;
        for (const auto& s : starts_bytes) starts.push_back(read(s));
        GameBatch* made = new (self) GameBatch();
        made->init(n, starts, 0, nb::cast<uint64_t>(t[7]), std::min(nb::cast<size_t>(t[8]), n));
        made->visit([&](auto& b) {
            using G = std::remove_cvref_t<decltype(b.game(0))>;
            for (size_t i = 0; i < n; ++i) {
                b.set_game(i, std::get<G>(read(games_bytes[i])), restart[i]);
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

    GameBatch() = default;

    void init(size_t n, const std::vector<GameVariant>& starts, uint64_t seed, uint64_t max_plies, size_t threads) {
        n_ = n;
        with_size_class(static_cast<int>(starts[0].index()) + 1, [&](auto NW) {
            std::vector<Game<NW()>> games;
            for (const auto& s : starts) games.push_back(std::get<Game<NW()>>(s));
            batch_.template emplace<Batch<NW()>>(n, std::move(games), seed, max_plies);
            return 0;
        });
        pool_ = std::make_unique<ThreadPool>(threads);
        chosen_.resize(n);
        refused_.resize(n);
    }

    static GameVariant read_game(uint64_t width, uint64_t height, std::string_view bytes) {
        const int nw = static_cast<int>(size_class(width, height));
        return with_size_class(nw, [&](auto NW) -> std::optional<GameVariant> {
                   auto g = GameCodec<NW()>::read(bytes);
                   if (!g || g.value().width() != width || g.value().height() != height)
                       throw nb::value_error("invalid game bytes");
                   return GameVariant(std::in_place_type<Game<NW()>>, g.take());
               })
            .value();
    }

    static std::string size_text(const GameVariant& g) {
        return std::visit([](auto& x) { return std::to_string(x.width()) + "x" + std::to_string(x.height()); }, g);
    }

    size_t index(int64_t i) const {
        const int64_t n = static_cast<int64_t>(n_);
        if (i < -n || i >= n)
            throw nb::index_error(("game index " + std::to_string(i) + " is out of range for " + std::to_string(n_) + " games").c_str());
        return static_cast<size_t>(i < 0 ? i + n : i);
    }

    // A NumPy vector of f(batch, i) for every game.
    template <class T, class F>
    nb::object per_game(const char* dtype, F&& f) {
        std::vector<T> out(n_);
        visit([&](auto& b) { parallel([&](size_t i) { out[i] = f(b, i); }); });
        return vector_array(out, dtype);
    }

    nb::tuple step_with(nb::handle actions, bool by_plane) {
        const std::vector<int64_t> a = integer_vector(actions, n_, by_plane ? "plane_actions" : "actions");
        auto [rewards, r] = output_array<float>(nb::none(), {n_}, "float32");
        auto [done, d] = output_array<bool>(nb::none(), {n_}, "bool");
        visit([&](auto& b) {
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
            parallel([&](size_t i) {
                const StepResult s = b.step(i, chosen_[i]);
                r[i] = s.reward;
                d[i] = s.done;
            });
        });
        return nb::make_tuple(rewards, done);
    }

    size_t n_ = 0;
    BatchVariant batch_;
    std::unique_ptr<ThreadPool> pool_;
    std::mutex mutex_;
    std::vector<std::optional<EMove>> chosen_;
    std::vector<char> refused_;
};

}  // namespace
}  // namespace murkle::rl

// ------------------------------------------------------------------ single games

namespace murkle::rl {
namespace {

template <class G>
uint64_t full_action_of(const G& g, const Move& m) {
    if (m.src.col >= g.width() || m.src.row >= g.height()) throw nb::value_error("move starts off the board");
    auto plane = encode_move(m, g.width(), g.height());
    if (!plane) throw nb::value_error(("move " + to_lan(m) + " has no move plane on this board").c_str());
    return static_cast<uint64_t>(*plane) * g.width() * g.height() + m.src.row * g.width() + m.src.col;
}

uint64_t encode_action(nb::handle game, nb::handle move) {
    const Move m = move_value(move);
    return std::visit([&](const auto& g) { return full_action_of(g, m); }, game_value(game));
}

nb::object decode_action(nb::handle game, int64_t action) {
    return std::visit(
        [&](const auto& g) -> nb::object {
            const LegalView v = g.legal();
            for (size_t k = 0; k < v.size; ++k)
                if (full_action(v, k, g.width() * g.height()) == action) return move_object(v.moves[k].to_move(g.width()));
            throw nb::value_error(("action " + std::to_string(action) + " is not a legal move of this game").c_str());
        },
        game_value(game));
}

nb::object legal_action_mask(nb::handle game) {
    return std::visit(
        [&](const auto& g) {
            const size_t planes = static_cast<size_t>(g.action_size());
            auto [array, data] = output_array<bool>(nb::none(), {planes, g.height(), g.width()}, "bool");
            std::fill(data, data + planes * g.width() * g.height(), false);
            const LegalView v = g.legal();
            for (size_t k = 0; k < v.size; ++k) data[full_action(v, k, g.width() * g.height())] = true;
            return array;
        },
        game_value(game));
}

nb::bytes dumps_game(nb::handle game) {
    const std::string bytes = std::visit([](const auto& g) { return write_game(g); }, game_value(game));
    return nb::bytes(bytes.data(), bytes.size());
}

nb::object loads_game(nb::bytes data) {
    const std::string_view bytes(data.c_str(), data.size());
    // The size class follows from the board size at the start of the bytes.
    ByteReader head(bytes);
    head.raw(GAME_BYTES_MAGIC);
    const uint64_t width = head.u16(), height = head.u16();
    if (!head.ok() || !game_size_ok(width, height)) throw nb::value_error("invalid game bytes");
    return with_size_class(static_cast<int>(size_class(width, height)), [&](auto NW) -> nb::object {
        auto g = GameCodec<NW()>::read(bytes);
        if (!g) throw nb::value_error("invalid game bytes");
        return game_object(GameVariant(std::in_place_type<Game<NW()>>, g.take()));
    });
}


}  // namespace
}  // namespace murkle::rl

NB_MODULE(_core, m) {
    using murkle::rl::GameBatch;
    m.doc() = "The compiled core of murkle_rl: batched games over the murkle_chess engine.";

    // Its instances have their own layout, so the class cannot be mixed with another such base.
    nb::class_<GameBatch>(m, "GameBatch", nb::sig("@typing_extensions.disjoint_base\nclass GameBatch()"),
        "N games of one board size, stepped together on a pool of worker threads.\n\n"
        "Observations are NumPy arrays in the layout of the input planes: ``planes()`` is\n"
        "float32 ``(n, 105, height, width)`` and ``legal_mask()`` is bool\n"
        "``(n, P, height, width)`` with ``P = 8 * max(width, height) + 18`` move planes. The flat\n"
        "index ``p * height * width + row * width + col`` of a mask entry is a *full action*: the\n"
        "legal move from square (col, row) whose move plane is p. Each full action names\n"
        "exactly one move, so a policy over ``num_actions`` entries reaches every legal move.\n\n"
        "``step(actions)`` plays one full action in every game and returns ``(rewards, done)``.\n"
        "A game that ends at a step keeps its final position (observations stay readable) and\n"
        "restarts from its start position at the *next* step, whose action for that game is\n"
        "ignored (its reward is 0.0 and done is False then). Games already over when stepped\n"
        "(for example from a decided start FEN) report done at once.\n\n"
        "Work runs with the GIL released, split over ``threads`` worker threads made once per\n"
        "batch; every game has its own random stream, so results depend on ``seed`` only, never\n"
        "on the number of threads. Pass ``out=`` arrays to write observations in place.")
        .def(nb::init<size_t, uint64_t, uint64_t, nb::handle, std::optional<bool>, std::optional<size_t>,
                      std::optional<uint64_t>, std::optional<uint64_t>>(),
             "n"_a, "width"_a = 8, "height"_a = 8, nb::kw_only(), "fen"_a = nb::none(), "castling"_a = nb::none(),
             "threads"_a = nb::none(), "seed"_a = nb::none(), "max_plies"_a = nb::none(),
             nb::sig("def __init__(self, n: int, width: int = 8, height: int = 8, *, "
                     "fen: str | collections.abc.Sequence[str] | None = None, castling: bool | None = None, "
                     "threads: int | None = None, seed: int | None = None, max_plies: int | None = None) -> None"),
             "Makes n games of width x height.\n\n"
             "fen: one FEN for every game, a sequence of n FENs (one start per game), or None for\n"
             "    ``start_fen(width, height)``. castling: None means on for 8x8 only. threads: None\n"
             "    uses every core. seed: None draws one from the system. max_plies: a game that\n"
             "    reaches this many plies ends as truncated (done, reward 0.0).")
        .def("planes", &GameBatch::planes, "out"_a = nb::none(),
             nb::sig("def planes(self, out: numpy.typing.NDArray[numpy.float32] | None = None) -> "
                     "numpy.typing.NDArray[numpy.float32]"),
             "The 105 input planes of every game, float32 (n, 105, height, width), equal to\n"
             "``murkle_chess.Game.encode_game_planes()``. Written into ``out`` when given.")
        .def("legal_mask", &GameBatch::legal_mask, "out"_a = nb::none(),
             nb::sig("def legal_mask(self, out: numpy.typing.NDArray[numpy.bool_] | None = None) -> "
                     "numpy.typing.NDArray[numpy.bool_]"),
             "The legal full actions of every game, bool (n, P, height, width). Written into\n"
             "``out`` when given. A game that restarts at the next step shows its final position.")
        .def("step", &GameBatch::step, "actions"_a,
             nb::sig("def step(self, actions: numpy.typing.ArrayLike) -> "
                     "tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.bool_]]"),
             "Plays one full action in every game; returns (rewards float32 (n,), done bool (n,)).\n\n"
             "rewards holds ``reward_absolute()`` of each game that ended (1.0 White won, -1.0\n"
             "Black won, 0.0 draw or truncated) and 0.0 elsewhere. If any action is not legal in\n"
             "its game, ValueError names the game and the action and no game changes. The\n"
             "actions of games that restart at this step are ignored.")
        .def("step_planes", &GameBatch::step_planes, "plane_actions"_a,
             nb::sig("def step_planes(self, plane_actions: numpy.typing.ArrayLike) -> "
                     "tuple[numpy.typing.NDArray[numpy.float32], numpy.typing.NDArray[numpy.bool_]]"),
             "Like ``step`` with move planes instead of full actions: each game plays the first\n"
             "legal move whose move plane is given, as ``murkle_chess.Game.apply_action`` does.")
        .def("random_actions", &GameBatch::random_actions,
             nb::sig("def random_actions(self) -> numpy.typing.NDArray[numpy.int64]"),
             "A uniformly chosen legal full action for every game, int64 (n,), from each game's\n"
             "own seeded stream; -1 for a game that takes no action at the next step.")
        .def("play_random", &GameBatch::play_random, "plies"_a,
             nb::sig("def play_random(self, plies: int) -> dict[str, int]"),
             "Steps every game ``plies`` times with random actions, inside the engine (the same\n"
             "as ``plies`` calls of ``step(random_actions())``). Returns counts: steps, moves,\n"
             "finished games, white_wins, black_wins, draws, truncated.")
        .def("turns", &GameBatch::turns, nb::sig("def turns(self) -> numpy.typing.NDArray[numpy.int8]"),
             "The side to move in every game, int8 (n,): 1 White, -1 Black.")
        .def("plies", &GameBatch::plies, nb::sig("def plies(self) -> numpy.typing.NDArray[numpy.int64]"),
             "The moves played in every game since its start position, int64 (n,).")
        .def("outcomes", &GameBatch::outcomes, nb::sig("def outcomes(self) -> numpy.typing.NDArray[numpy.int8]"),
             "The result of every game, int8 (n,): the code of ``murkle_chess.GameOutcome`` (0 White\n"
             "won, 1 Black won, 2 and above a draw) once the rules end it, else -1. A game ended by\n"
             "``max_plies`` shows -1 with ``plies() >= max_plies``.")
        .def("game", &GameBatch::game, "i"_a, nb::sig("def game(self, i: int) -> murkle_chess.Game"),
             "A murkle_chess.Game equal to game i: board, rights, clocks, history and hash.")
        .def("set_game", &GameBatch::set_game, "i"_a, "game"_a,
             nb::sig("def set_game(self, i: int, game: murkle_chess.Game) -> None"),
             "Replaces game i by a copy of a murkle_chess.Game of the batch's board size. Its\n"
             "history counts towards max_plies; it restarts from the batch's start position.")
        .def("fens", &GameBatch::fens, "The FEN of every game.")
        .def("reset", &GameBatch::reset, "indices"_a = nb::none(),
             nb::sig("def reset(self, indices: numpy.typing.ArrayLike | None = None) -> None"),
             "Puts the given games (all when None) back to their start positions.")
        .def("__len__", &GameBatch::size)
        .def("__repr__", &GameBatch::repr)
        .def_prop_ro("n", &GameBatch::size, "The number of games.")
        .def_prop_ro("width", &GameBatch::width, "Board width.")
        .def_prop_ro("height", &GameBatch::height, "Board height.")
        .def_prop_ro("threads", &GameBatch::threads, "Worker threads of this batch (the caller's included).")
        .def_prop_ro("max_plies", &GameBatch::max_plies, "The ply cap, or None.")
        .def_prop_ro("action_planes", &GameBatch::action_planes, "P, the number of move planes: 8 * max(width, height) + 18.")
        .def_prop_ro("num_actions", &GameBatch::num_actions, "The size of the full action space: P * height * width.")
        .def("__getstate__", &GameBatch::state)
        .def("__setstate__", &GameBatch::restore);

    m.def("start_fen", &murkle::rl::start_fen_or_raise, "width"_a, "height"_a,
          nb::sig("def start_fen(width: int, height: int) -> str"),
          "The start position of a width x height board: the standard position on 8x8; elsewhere\n"
          "the back ranks (RNBQKBNR-like, king in the middle) on the first and last rows with pawns\n"
          "in front when the board has four rows or more; on one row a rook and a king a side.");
    m.def("encode_action", &murkle::rl::encode_action, "game"_a, "move"_a,
          nb::sig("def encode_action(game: murkle_chess.Game, move: murkle_chess.Move) -> int"),
          "The full action of a move in a game: plane * height * width + row * width + col of its\n"
          "source square. Legality is not checked.");
    m.def("decode_action", &murkle::rl::decode_action, "game"_a, "action"_a,
          nb::sig("def decode_action(game: murkle_chess.Game, action: int) -> murkle_chess.Move"),
          "The legal move of the game named by a full action; ValueError when there is none.");
    m.def("legal_action_mask", &murkle::rl::legal_action_mask, "game"_a,
          nb::sig("def legal_action_mask(game: murkle_chess.Game) -> numpy.typing.NDArray[numpy.bool_]"),
          "The legal full actions of a game, bool (P, height, width).");
    m.def("dumps_game", &murkle::rl::dumps_game, "game"_a,
          nb::sig("def dumps_game(game: murkle_chess.Game) -> bytes"),
          "A murkle_chess.Game as bytes: its whole state with every history entry.");
    m.def("loads_game", &murkle::rl::loads_game, "data"_a,
          nb::sig("def loads_game(data: bytes) -> murkle_chess.Game"),
          "The murkle_chess.Game written by ``dumps_game``; ValueError for any other bytes.");
}
