// orvane-train: trains the engine's evaluation network on self-play games, on the CPU.
//
//   orvane-train [options] GAMES...
//
// GAMES are files of game records as orvane-datagen writes them, raw or compressed by zstd
// (names ending in .zst are read through `zstd -dc`), oldest first. Every scored ply becomes a
// training position unless the side to move is in check, the best move is a capture or
// promotion, the score is beyond +-2000 (or a mate score) or it comes too early (--min-ply,
// --min-ply-from-start). About --valid of the positions, in whole games of the last
// --valid-last files (the newest generation's), are held out for validation; the validation
// positions always follow the default early-ply rule. The best epoch is chosen on them.
// --yardstick names a file of games never trained on whose loss every run reports, so that
// runs on different pools compare on one fixed set.
//
// Results are mended while loading: with --syzygy, the first position of a game that the
// tables answer decides its result and the plies after it are dropped; a drawn game that
// reached a bare king against a queen or a rook and that the tables did not decide is dropped
// whole (the generator could not win such endings before it adjudicated with tables).
// --old-labels 1 trains on the results as recorded, validating on the mended ones.
//
// The network: one 768-input block, mirrored left-right for a perspective whose king is on
// files e-h, into --hidden units per perspective, squared clipped ReLU, 8 output buckets by
// piece count, trained on (sigmoid(400 y / s) - target)^2 with target = lambda x result +
// (1 - lambda) x sigmoid(score / s), where 400 y is the engine's score in centipawns and s is
// the scale of the training positions' own score-to-result curve, fitted on them (--scale
// sets it instead; 400 was the rule of the networks up to gen4b). AdamW
// (0.9, 0.999, --decay), weights clamped to +-1.98, cosine decay of the learning rate
// over the whole run, early stop when the validation loss has not improved for --patience
// epochs (the best epoch's weights are kept). Then --rounded-epochs more epochs at the small
// learning rate --rounded-lr train through the weights rounded to the engine's steps (1/255
// for the feature block, 1/64 for the output), so that the network learns to work with them,
// and the rounded weights are kept: the engine then computes the trained function but for
// its integer divisions. Then
// the W/D/L head is fitted with the feature
// block frozen, the network is written in the engine's format (8 king buckets, 8 output
// buckets, the head; 12,630,080 bytes; the output weights' roundings chosen on training
// positions), read back with the engine's loader, and the float and integer evaluations are
// compared: the first --check positions of the validation set are printed, and the mean and
// largest difference over up to 10,000 of them.
//
// Each epoch prints its training and validation loss (a star marks a new best), the learning
// rate at its end and the speed, in positions per second and per processor second (the
// latter says more on a shared machine).
//
// Options (defaults in brackets):
//   --out FILE        network file to write [orvane-train.nnue]
//   --epochs N        passes over the training positions [20]
//   --lr X            peak learning rate [0.001]
//   --batch N         positions per optimiser step [16384]
//   --lambda X        weight of the game result in the target [0.5]
//   --rng N           start value of the shuffling and initialisation generator [1]
//   --valid X         fraction of positions held out for validation [0.02]
//   --patience N      epochs without a better validation loss before stopping; 0: never [3]
//   --threads N       training threads [2]
//   --hidden N        hidden units; up to 1024 can be exported (the rest as zeros) [1024]
//   --king-buckets N  1: one block serves every king bucket; 8: a factorised model, the
//                     shared block plus one block of its own per king bucket [1]
//   --bucket-decay X  weight decay of the king buckets' own blocks, which pulls them toward
//                     the shared block [0.01]
//   --wdl-epochs N    epochs of the W/D/L head fit [2]
//   --wdl-lr X        learning rate of the head fit [0.001]
//   --limit N         use at most N positions (after filtering); 0: all [0]
//   --check N         compared positions printed after export [8]
//   --syzygy DIR      tablebase folder that decides results (':' separates folders) [none]
//   --old-labels 0|1  train on the recorded results instead of the mended ones [0]
//   --decay X         AdamW weight decay of the feature block and the output (scaled by the
//                     learning rate) [0.01]
//   --min-ply N       searched plies after the random opening before one is kept [0]
//                     (--skip-searched is the same option under its older name)
//   --min-ply-from-start N  plies from the start position before one is kept [0]
//                     (the networks up to gen4b were trained with 16)
//   --scale auto|X    scale of the score-to-result curve in the target [auto: fitted]
//   --valid-last N    validation games come from the last N game files; 0: every file [1]
//   --yardstick FILE  games never trained on, whose loss is reported [none]
//   --rounded-epochs N  epochs through the rounded weights after training [1]
//   --rounded-lr X    their learning rate [0.00005]
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <numbers>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/board/text.h"
#include "syzygy/syzygy.h"
#include "train/dataset.h"
#include "train/export.h"
#include "train/model.h"

using namespace orvane;
using namespace orvane::train;

namespace {

constexpr std::size_t COMPARED_POSITIONS = 10'000;  // float against engine after export

struct Options {
    std::vector<std::string> inputs;
    std::string out = "orvane-train.nnue";
    int epochs = 20;
    float lr = 1e-3f;
    int batch = 16384;
    float lambda = 0.5f;
    std::uint64_t rng = 1;
    double valid = 0.02;
    int patience = 3;
    int threads = 2;
    int hidden = nnue::HIDDEN;
    int king_buckets = 1;
    float bucket_decay = 0.01f;
    int wdl_epochs = 2;
    float wdl_lr = 1e-3f;
    std::uint64_t limit = 0;
    int check = 8;
    std::string syzygy;
    bool old_labels = false;
    float decay = 0.01f;
    EarlyPlies early;
    float scale = 0;  // 0: fitted on the training positions
    int valid_last = 1;
    std::string yardstick;
    int rounded_epochs = 1;
    float rounded_lr = 5e-5f;
};

int usage() {
    std::fprintf(stderr,
                 "usage: orvane-train [--out FILE] [--epochs N] [--lr X] [--batch N] "
                 "[--lambda X] [--rng N] [--valid X]\n"
                 "                    [--patience N] [--threads N] [--hidden N] "
                 "[--king-buckets 1|8] [--bucket-decay X]\n"
                 "                    [--wdl-epochs N] [--wdl-lr X] [--limit N] [--check N]\n"
                 "                    [--syzygy DIR] [--old-labels 0|1] [--decay X] [--min-ply N]\n"
                 "                    [--min-ply-from-start N] [--scale auto|X] [--valid-last N]\n"
                 "                    [--yardstick FILE] [--rounded-epochs N] [--rounded-lr X]\n"
                 "                    GAMES...\n");
    return 2;
}

std::optional<double> parse_real(const std::string& s) {
    try {
        std::size_t used = 0;
        const double v = std::stod(s, &used);
        if (used != s.size() || !std::isfinite(v)) return std::nullopt;
        return v;
    } catch (...) {
        return std::nullopt;
    }
}

bool parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.size() < 2 || a[0] != '-' || a[1] != '-') {
            o.inputs.push_back(a);
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", a.c_str());
            return false;
        }
        const std::string v = argv[++i];
        bool ok = true;
        auto integer = [&](auto& field, long long lo, long long hi) {
            auto n = text::parse_int<long long>(v);
            ok = n && *n >= lo && *n <= hi;
            if (ok) field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
        };
        auto real = [&](auto& field, double lo, double hi) {
            auto x = parse_real(v);
            ok = x && *x >= lo && *x <= hi;
            if (ok) field = static_cast<std::remove_reference_t<decltype(field)>>(*x);
        };
        if (a == "--out") o.out = v;
        else if (a == "--epochs") integer(o.epochs, 0, 1'000'000);
        else if (a == "--lr") real(o.lr, 0.0, 1.0);
        else if (a == "--batch") integer(o.batch, 1, 1 << 24);
        else if (a == "--lambda") real(o.lambda, 0.0, 1.0);
        else if (a == "--rng") integer(o.rng, 0, (1LL << 62));
        else if (a == "--valid") real(o.valid, 0.0, 0.5);
        else if (a == "--patience") integer(o.patience, 0, 1'000'000);
        else if (a == "--threads") integer(o.threads, 1, 64);
        else if (a == "--hidden") integer(o.hidden, 1, 1 << 16);
        else if (a == "--king-buckets") {
            integer(o.king_buckets, 1, KING_BUCKETS);
            ok = ok && (o.king_buckets == 1 || o.king_buckets == KING_BUCKETS);
        } else if (a == "--bucket-decay") real(o.bucket_decay, 0.0, 1000.0);
        else if (a == "--wdl-epochs") integer(o.wdl_epochs, 0, 1'000'000);
        else if (a == "--wdl-lr") real(o.wdl_lr, 0.0, 1.0);
        else if (a == "--limit") integer(o.limit, 0, (1LL << 62));
        else if (a == "--check") integer(o.check, 0, 1'000'000);
        else if (a == "--syzygy") o.syzygy = v;
        else if (a == "--decay") real(o.decay, 0.0, 1000.0);
        else if (a == "--min-ply" || a == "--skip-searched") integer(o.early.after_opening, 0, 1000);
        else if (a == "--min-ply-from-start") integer(o.early.from_start, 0, 1000);
        else if (a == "--scale") {
            if (v != "auto") real(o.scale, 10.0, 10'000.0);
            else o.scale = 0;
        } else if (a == "--valid-last") integer(o.valid_last, 0, 1'000'000);
        else if (a == "--yardstick") o.yardstick = v;
        else if (a == "--rounded-epochs") integer(o.rounded_epochs, 0, 1000);
        else if (a == "--rounded-lr") real(o.rounded_lr, 0.0, 1.0);
        else if (a == "--old-labels") integer(o.old_labels, 0, 1);
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "bad value '%s' for %s\n", v.c_str(), a.c_str());
            return false;
        }
    }
    if (o.inputs.empty()) {
        std::fprintf(stderr, "no game files given\n");
        return false;
    }
    return true;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Loads the game files in order; `first_games`, when given, receives the index of each file's
// first game.
bool load(const std::vector<std::string>& paths, std::uint64_t limit, const LabelSource& labels,
          const EarlyPlies& early, std::vector<PackedPosition>& all,
          std::vector<std::uint32_t>* first_games = nullptr) {
    LoadStats stats;
    std::uint32_t next_game = 0;
    for (const std::string& path : paths) {
        if (first_games) first_games->push_back(next_game);
        std::string error;
        const std::vector<std::uint8_t> bytes = read_game_file(path, error);
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        const std::uint64_t trailing = stats.trailing_bytes;
        expand_games(bytes, next_game, all, stats, labels, early);
        std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
        if (stats.trailing_bytes > trailing)
            std::printf("  %llu bytes after the last whole record ignored\n",
                        static_cast<unsigned long long>(stats.trailing_bytes - trailing));
    }
    std::printf("games %llu (corrupt %llu), scored plies %llu, kept %llu; dropped: opening %llu, "
                "in check %llu, capture or promotion %llu, |score| > %d %llu\n",
                static_cast<unsigned long long>(stats.games),
                static_cast<unsigned long long>(stats.corrupt_games),
                static_cast<unsigned long long>(stats.scored_plies),
                static_cast<unsigned long long>(stats.kept),
                static_cast<unsigned long long>(stats.early),
                static_cast<unsigned long long>(stats.in_check),
                static_cast<unsigned long long>(stats.noisy), MAX_SCORE,
                static_cast<unsigned long long>(stats.extreme));
    if (labels.relabel)
        std::printf("labels: %llu games decided by the tables (%llu plies after their answer "
                    "cut), %llu drawn games with a bare king against a queen or rook dropped\n",
                    static_cast<unsigned long long>(stats.relabelled_games),
                    static_cast<unsigned long long>(stats.cut_plies),
                    static_cast<unsigned long long>(stats.dropped_games));
    else
        std::printf("labels: as recorded\n");
    if (limit && all.size() > limit) {
        all.resize(limit);
        std::printf("using the first %llu positions\n", static_cast<unsigned long long>(limit));
    }
    if (all.empty()) {
        std::fprintf(stderr, "no training positions\n");
        return false;
    }
    return true;
}

// Holds out about `fraction` of all positions, in whole games, from the games numbered
// `first_game` and up (the newest files); every older game trains.
Split split_newest(std::vector<PackedPosition> all, double fraction, std::uint32_t first_game,
                   std::mt19937_64& rng) {
    std::vector<PackedPosition> older, newest;
    for (const PackedPosition& p : all) (p.game >= first_game ? newest : older).push_back(p);
    const double share =
        newest.empty() ? 0.0 : std::min(0.5, fraction * double(all.size()) / double(newest.size()));
    all = {};
    Split split = split_by_game(std::move(newest), share, rng);
    split.train.insert(split.train.end(), older.begin(), older.end());
    std::shuffle(split.train.begin(), split.train.end(), rng);
    return split;
}

// The training and validation positions. Validation always uses the mended labels and the
// default rule for early plies; with --old-labels, --min-ply or --skip-searched the training
// positions of the same games are loaded again with the labels and the rule asked for, so
// that runs with different labels or rules are compared on one validation set.
bool load_split(const Options& o, std::mt19937_64& rng, Split& data,
                std::vector<PackedPosition>& yardstick) {
    std::shared_ptr<Syzygy> tables;
    if (!o.syzygy.empty()) {
        SyzygyLoad loaded = Syzygy::load(o.syzygy);
        if (auto* e = std::get_if<SyzygyError>(&loaded)) {
            std::fprintf(stderr, "cannot use %s: %s\n", o.syzygy.c_str(), e->message.c_str());
            return false;
        }
        tables = std::get<std::shared_ptr<Syzygy>>(loaded);
        std::printf("tablebases up to %u pieces decide the results\n", tables->max_pieces());
    }
    std::vector<std::string> inputs;
    for (const std::string& path : o.inputs)
        if (path != o.yardstick) inputs.push_back(path);
    if (inputs.empty()) {
        std::fprintf(stderr, "no game files to train on besides the yardstick\n");
        return false;
    }
    if (!o.yardstick.empty()) {
        std::printf("yardstick %s (never trained on):\n", o.yardstick.c_str());
        if (!load({o.yardstick}, 0, LabelSource{true, tables.get()}, EarlyPlies{}, yardstick))
            return false;
    }
    const EarlyPlies validation_rule{};
    std::vector<PackedPosition> all;
    std::vector<std::uint32_t> first_games;
    if (!load(inputs, o.limit, LabelSource{true, tables.get()}, validation_rule, all, &first_games))
        return false;
    const std::size_t newest = o.valid_last == 0 || std::size_t(o.valid_last) >= inputs.size()
                                   ? 0
                                   : inputs.size() - std::size_t(o.valid_last);
    std::uint32_t first_valid_game = first_games[newest];
    // A --limit that cut the newest files away leaves every game to validate from.
    if (all.back().game < first_valid_game) first_valid_game = 0;
    data = split_newest(std::move(all), o.valid, first_valid_game, rng);
    std::printf("validation games from game %u on (the last %zu files)\n", first_valid_game,
                inputs.size() - newest);
    const bool same_rule = o.early.after_opening == validation_rule.after_opening &&
                           o.early.from_start == validation_rule.from_start;
    if (!o.old_labels && same_rule) return true;

    std::printf("training positions loaded again with %s labels, --min-ply %d, "
                "--min-ply-from-start %d\n",
                o.old_labels ? "the recorded" : "mended", o.early.after_opening,
                o.early.from_start);
    std::vector<PackedPosition> training;
    const LabelSource labels = o.old_labels ? LabelSource{false, nullptr}
                                            : LabelSource{true, tables.get()};
    if (!load(inputs, o.limit, labels, o.early, training)) return false;
    std::unordered_set<std::uint32_t> held_out;
    for (const PackedPosition& p : data.valid) held_out.insert(p.game);
    data.train.clear();
    for (const PackedPosition& p : training)
        if (!held_out.count(p.game)) data.train.push_back(p);
    std::shuffle(data.train.begin(), data.train.end(), rng);
    return true;
}

// Trains until the epochs run out or the validation loss stops improving; leaves the best
// epoch's weights in the model.
void train_model(const Options& o, Model& model, Split& data,
                 std::span<const PackedPosition> yardstick, std::mt19937_64& rng) {
    AdamWConfig config;
    config.bucket_decay = o.bucket_decay;
    config.decay = o.decay;
    const float scale = o.scale > 0 ? o.scale : fit_result_scale(data.train);
    std::printf("score-to-result scale %.1f%s\n", scale,
                o.scale > 0 ? "" : " (fitted on the training positions)");
    Trainer trainer(model, o.threads, o.lambda, config, scale);
    auto yardstick_text = [&] {
        if (yardstick.empty()) return std::string();
        char text[32];
        std::snprintf(text, sizeof text, "  yard %.6f", trainer.loss(yardstick));
        return std::string(text);
    };
    const std::size_t batch = std::size_t(o.batch);
    const std::size_t steps_per_epoch = (data.train.size() + batch - 1) / batch;
    const double total_steps = double(steps_per_epoch) * o.epochs;
    const bool validating = !data.valid.empty();
    std::printf("training %zu positions, validating %zu; %zu steps per epoch\n",
                data.train.size(), data.valid.size(), steps_per_epoch);
    double best = validating ? trainer.loss(data.valid) : 0.0;
    if (validating) std::printf("epoch   0  valid %.6f%s\n", best, yardstick_text().c_str());
    std::vector<float> best_params(model.data(), model.data() + model.size());
    int since_best = 0;
    long step = 0;
    for (int epoch = 1; epoch <= o.epochs; ++epoch) {
        std::shuffle(data.train.begin(), data.train.end(), rng);
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpu_start = std::clock();
        const std::span<const PackedPosition> all(data.train);
        double sum = 0;
        float lr = o.lr;
        for (std::size_t at = 0; at < all.size(); at += batch, ++step) {
            const double progress = double(step) / total_steps;
            lr = float(0.5 * o.lr * (1.0 + std::cos(std::numbers::pi * progress)));
            const auto part = all.subspan(at, std::min(batch, all.size() - at));
            sum += trainer.step(part, lr) * double(part.size());
        }
        const double elapsed = seconds_since(start);
        // Per processor second too: on a shared machine the wall clock alone says little.
        const double cpu = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        const double speed = double(all.size()) / elapsed;
        const double cpu_speed = double(all.size()) / std::max(cpu, 1e-9);
        const double train_loss = sum / double(all.size());
        if (!validating) {
            std::printf("epoch %3d  train %.6f  lr %.2e  %.0f pos/s (%.0f per cpu s)  %.1fs\n",
                        epoch, train_loss, lr, speed, cpu_speed, elapsed);
            std::fflush(stdout);
            best_params.assign(model.data(), model.data() + model.size());
            continue;
        }
        const double valid_loss = trainer.loss(data.valid);
        const bool better = valid_loss < best;
        std::printf("epoch %3d  train %.6f  valid %.6f%s%s  lr %.2e  %.0f pos/s (%.0f per cpu s)"
                    "  %.1fs\n",
                    epoch, train_loss, valid_loss, better ? " *" : "  ", yardstick_text().c_str(),
                    lr, speed, cpu_speed, elapsed);
        std::fflush(stdout);
        if (better) {
            best = valid_loss;
            since_best = 0;
            best_params.assign(model.data(), model.data() + model.size());
        } else if (o.patience && ++since_best >= o.patience) {
            std::printf("no better validation loss for %d epochs: stopping\n", o.patience);
            break;
        }
    }
    std::copy(best_params.begin(), best_params.end(), model.data());

    if (o.rounded_epochs == 0) return;
    trainer.set_rounded(true);
    if (validating)
        std::printf("rounded weights: valid %.6f%s\n", trainer.loss(data.valid),
                    yardstick_text().c_str());
    for (int epoch = 1; epoch <= o.rounded_epochs; ++epoch) {
        std::shuffle(data.train.begin(), data.train.end(), rng);
        const auto start = std::chrono::steady_clock::now();
        const std::span<const PackedPosition> all(data.train);
        double sum = 0;
        for (std::size_t at = 0; at < all.size(); at += batch) {
            const auto part = all.subspan(at, std::min(batch, all.size() - at));
            sum += trainer.step(part, o.rounded_lr) * double(part.size());
        }
        std::printf("rounded epoch %d  train %.6f", epoch, sum / double(all.size()));
        if (validating) std::printf("  valid %.6f%s", trainer.loss(data.valid), yardstick_text().c_str());
        std::printf("  %.1fs\n", seconds_since(start));
        std::fflush(stdout);
    }
    round_to_engine_steps(model);
}

int export_and_check(const Options& o, const Model& model, const WdlHead& head,
                     const Split& data) {
    ExportReport report;
    auto made = network_bytes(model, head, data.train, report);
    if (auto* e = std::get_if<std::string>(&made)) {
        std::fprintf(stderr, "not exported: %s\n", e->c_str());
        return 1;
    }
    const auto& bytes = std::get<std::vector<std::uint8_t>>(made);
    if (report.clamped_feature_values || report.clamped_output_weights || report.clamped_biases)
        std::printf("clamped on export: %d feature values, %d output weights, %d biases\n",
                    report.clamped_feature_values, report.clamped_output_weights,
                    report.clamped_biases);
    std::printf("largest quantised feature value %d, output weight %d\n",
                report.largest_feature_value, report.largest_output_weight);
    std::printf("output roundings chosen on %zu positions: mean |engine - float| %.2f cp "
                "(%.2f cp rounding to the nearest)\n",
                report.calibration_positions, report.calibrated_error_cp,
                report.nearest_error_cp);
    if (std::string error = write_network(o.out, bytes); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %s (%zu bytes)\n", o.out.c_str(), bytes.size());

    // Every compared position counts in the summary; the first --check ones are printed.
    const std::vector<PackedPosition>& source = data.valid.empty() ? data.train : data.valid;
    const std::size_t compared_count =
        std::min(source.size(), std::max<std::size_t>(COMPARED_POSITIONS, std::size_t(o.check)));
    auto compared = compare_with_engine(model, head, bytes, {source.data(), compared_count});
    if (auto* e = std::get_if<std::string>(&compared)) {
        std::fprintf(stderr, "the engine cannot use the file: %s\n", e->c_str());
        return 1;
    }
    const auto& rows = std::get<std::vector<EvalComparison>>(compared);
    double worst = 0, total = 0;
    if (o.check > 0)
        std::printf("%9s %7s %6s  %-17s %-17s  %s\n", "float cp", "engine", "diff",
                    "float W/D/L", "engine W/D/L", "position");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const EvalComparison& c = rows[i];
        const double diff = c.engine_cp - c.trained_cp;
        worst = std::max(worst, std::abs(diff));
        total += std::abs(diff);
        if (i >= std::size_t(o.check)) continue;
        std::printf("%9.1f %7d %6.1f  %.3f/%.3f/%.3f  %.3f/%.3f/%.3f  %s\n", c.trained_cp,
                    c.engine_cp, diff, c.trained_wdl[0], c.trained_wdl[1], c.trained_wdl[2],
                    c.engine_wdl[0], c.engine_wdl[1], c.engine_wdl[2], c.fen.c_str());
    }
    std::printf("engine - float over %zu positions: mean |difference| %.2f cp, largest %.1f cp\n",
                rows.size(), rows.empty() ? 0.0 : total / double(rows.size()), worst);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, o)) return usage();

    std::mt19937_64 rng(o.rng);
    Split data;
    std::vector<PackedPosition> yardstick;
    if (!load_split(o, rng, data, yardstick)) return 1;

    Model model(o.hidden, o.king_buckets == KING_BUCKETS);
    model.initialise(rng);
    train_model(o, model, data, yardstick, rng);

    WdlHead head(o.hidden);
    if (o.wdl_epochs > 0) {
        const bool validating = !data.valid.empty();
        if (validating)
            std::printf("W/D/L head: validation cross-entropy %.5f before fitting\n",
                        wdl_loss(model, head, data.valid, o.threads));
        fit_wdl_head(model, head, data.train, data.valid, o.wdl_epochs, o.batch, o.wdl_lr,
                     o.threads, rng, [&](int epoch, double train_loss, double valid_loss) {
                         std::printf("W/D/L epoch %d  train %.5f", epoch, train_loss);
                         if (validating) std::printf("  valid %.5f", valid_loss);
                         std::printf("\n");
                         std::fflush(stdout);
                     });
    }
    if (o.hidden > nnue::HIDDEN) {
        std::printf("not exported: the engine holds %d hidden units\n", nnue::HIDDEN);
        return 0;
    }
    if (o.hidden < nnue::HIDDEN) {
        // The engine's layout has 1024 units: the missing ones are written as exact zeros.
        std::printf("exporting with %d units of zeros\n", nnue::HIDDEN - o.hidden);
        return export_and_check(o, model.widened(nnue::HIDDEN), head.widened(nnue::HIDDEN), data);
    }
    return export_and_check(o, model, head, data);
}
