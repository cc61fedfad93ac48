#pragma once
// The GameBatch object: n games of one size class behind a lock, with the pool that splits
// them and the argument checks of its constructor and pickled state.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
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

inline void check_game_size(uint64_t width, uint64_t height) {
    if (!game_size_ok(width, height))
        throw nb::value_error(("board size " + std::to_string(width) + "x" + std::to_string(height) +
                               " is out of range: " + BOARD_RANGE_TEXT)
                                  .c_str());
}

inline std::string start_fen_or_raise(uint64_t width, uint64_t height) {
    check_game_size(width, height);
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

// What GameBatch::step writes besides the games: the results, and the next observations
// when asked for (None: made for the results, left out for the observations).
struct StepOutputs {
    nb::handle planes = nb::none(), mask = nb::none(), rewards = nb::none(), done = nb::none(),
               truncated = nb::none(), bits = nb::none(), scalars = nb::none();
};

class GameBatch {
public:
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

    GameBatch(size_t n, uint64_t width, uint64_t height, nb::handle fen, std::optional<bool> castling,
              std::optional<size_t> threads, std::optional<uint64_t> seed, std::optional<uint64_t> max_plies,
              bool repetitions) {
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
             std::min(threads.value_or(default_threads()), n), repetitions);
    }

    // ----- observations -----------------------------------------------------------------------

    // The observation arrays a call writes, each checked (or made) before any game changes.
    struct Observations {
        nb::object planes, mask, bits, scalars;
        float* p = nullptr;
        bool* m = nullptr;
        uint8_t* b = nullptr;
        float* s = nullptr;

        template <class B>
        void write(const B& batch, size_t i) const {
            const size_t area = batch.area();
            if (p) batch.write_planes(i, p + i * TOTAL_INPUT_PLANES * area);
            if (m) batch.write_mask(i, m + i * batch.planes() * area);
            if (b) batch.write_packed(i, b + i * TOTAL_INPUT_PLANES * packed_plane_bytes(area), s + i * TOTAL_INPUT_PLANES);
        }
    };

    // Arrays for the observations asked for: given ones are checked, None ones are made when
    // `make` names them and left out otherwise.
    enum : unsigned { PLANES = 1, MASK = 2, PACKED = 4 };
    Observations observations(nb::handle planes, nb::handle mask, nb::handle bits, nb::handle scalars, unsigned make) {
        Observations o;
        const size_t h = height(), w = width(), bytes = packed_plane_bytes(h * w);
        if (!planes.is_none() || (make & PLANES))
            std::tie(o.planes, o.p) = output_array<float>(planes, {n_, TOTAL_INPUT_PLANES, h, w}, "float32");
        if (!mask.is_none() || (make & MASK))
            std::tie(o.mask, o.m) = output_array<bool>(mask, {n_, action_planes(), h, w}, "bool");
        if (bits.is_none() != scalars.is_none() && !(make & PACKED))
            throw nb::value_error("bits and scalars go together: give both or neither");
        if (!bits.is_none() || (make & PACKED)) {
            std::tie(o.bits, o.b) = output_array<uint8_t>(bits, {n_, TOTAL_INPUT_PLANES, bytes}, "uint8");
            std::tie(o.scalars, o.s) = output_array<float>(scalars, {n_, TOTAL_INPUT_PLANES}, "float32");
        }
        return o;
    }

    void observe(const Observations& o) {
        visit([&](auto& b) { parallel([&](size_t i) { o.write(b, i); }); });
    }

    nb::object planes(nb::handle out) {
        Observations o = observations(out, nb::none(), nb::none(), nb::none(), PLANES);
        observe(o);
        return o.planes;
    }

    nb::object legal_mask(nb::handle out) {
        Observations o = observations(nb::none(), out, nb::none(), nb::none(), MASK);
        observe(o);
        return o.mask;
    }

    nb::tuple packed_planes(nb::handle bits, nb::handle scalars) {
        Observations o = observations(nb::none(), nb::none(), bits, scalars, PACKED);
        observe(o);
        return nb::make_tuple(o.bits, o.scalars);
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
        nb::object a = numpy().attr("asarray")(logits);
        const auto shape = nb::cast<std::vector<size_t>>(a.attr("shape"));
        const std::vector<size_t> flat{n_, actions}, full{n_, action_planes(), height(), width()};
        if (shape != flat && shape != full)
            throw nb::value_error(("logits must have shape " + shape_text(flat) + " or " + shape_text(full) + ", got " +
                                   shape_text(shape))
                                      .c_str());
        const std::string dtype = nb::cast<std::string>(a.attr("dtype").attr("name"));
        if (dtype != "float64") a = numpy().attr("ascontiguousarray")(a, "float32");
        else a = numpy().attr("ascontiguousarray")(a);
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
        if (dtype == "float64") draw(array_data<const double>(a));
        else draw(array_data<const float>(a));
        return result;
    }

    nb::tuple legal_actions() {
        return visit([&](auto& b) {
            std::vector<int64_t> counts(n_);
            parallel([&](size_t i) { counts[i] = static_cast<int64_t>(b.legal(i).size); });
            auto [offsets, o] = output_array<int64_t>(nb::none(), {n_ + 1}, "int64");
            o[0] = 0;
            for (size_t i = 0; i < n_; ++i) o[i + 1] = o[i] + counts[i];
            auto [actions, a] = output_array<int64_t>(nb::none(), {static_cast<size_t>(o[n_])}, "int64");
            parallel([&, a = a, o = o](size_t i) {
                const LegalView v = b.legal(i);
                for (size_t k = 0; k < v.size; ++k) a[o[i] + k] = b.full_action(v, k);
            });
            return nb::make_tuple(actions, offsets);
        });
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
    bool repetitions() const { return std::visit([](auto& b) { return b.repetitions(); }, batch_); }
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
            return nb::make_tuple(1, b.width(), b.height(), starts, games, restart, rng, b.max_plies(), threads(),
                                  b.repetitions());
        });
    }

    static void restore(GameBatch* self, nb::tuple t) {
        if ((t.size() != 9 && t.size() != 10) || nb::cast<int>(t[0]) != 1) throw nb::value_error("unsupported GameBatch state");
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
        made->init(n, starts, 0, nb::cast<uint64_t>(t[7]), std::min(nb::cast<size_t>(t[8]), n),
                   t.size() == 10 && nb::cast<bool>(t[9]));
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

    void init(size_t n, const std::vector<GameVariant>& starts, uint64_t seed, uint64_t max_plies, size_t threads,
              bool repetitions) {
        n_ = n;
        with_size_class(static_cast<int>(starts[0].index()) + 1, [&](auto NW) {
            std::vector<Game<NW()>> games;
            for (const auto& s : starts) games.push_back(std::get<Game<NW()>>(s));
            batch_.template emplace<Batch<NW()>>(n, std::move(games), seed, max_plies, repetitions);
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

    // A NumPy vector of f(batch, i) for every game, into `out` when given.
    template <class T, class F>
    nb::object per_game(nb::handle out, const char* dtype, F&& f) {
        auto [array, data] = output_array<T>(out, {n_}, dtype);
        visit([&, data = data](auto& b) { parallel([&](size_t i) { data[i] = f(b, i); }); });
        return array;
    }

    nb::tuple step_with(nb::handle actions, bool by_plane, const StepOutputs& out) {
        const std::vector<int64_t> a = integer_vector(actions, n_, by_plane ? "plane_actions" : "actions");
        auto [rewards, r] = output_array<float>(out.rewards, {n_}, "float32");
        auto [done, d] = output_array<bool>(out.done, {n_}, "bool");
        auto [truncated, t] = output_array<bool>(out.truncated, {n_}, "bool");
        const Observations o = observations(out.planes, out.mask, out.bits, out.scalars, 0);
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
            parallel([&](size_t i) {
                const StepResult s = b.step(i, chosen_[i]);
                r[i] = s.reward;
                d[i] = s.done;
                t[i] = s.truncated;
                o.write(b, i);
            });
        });
        return nb::make_tuple(rewards, done, truncated);
    }

    size_t n_ = 0;
    BatchVariant batch_;
    std::unique_ptr<ThreadPool> pool_;
    std::mutex mutex_;
    std::vector<std::optional<EMove>> chosen_;
    std::vector<char> refused_;
};

}  // namespace murkle::rl
