#include "smp.h"

#include <algorithm>
#include <string>

#include "eval.h"
#include "movegen.h"

namespace velmar {

namespace {

// Scores at or above this are wins by mate, beyond any tablebase win.
constexpr int32_t MATE_WIN_MIN = SCORE_TB_WIN + 1;

// The deepest line a helper can search needs under 1 MiB (about 4 KB of frames per ply up to
// ply 128); 16 MiB leaves room for sanitizer builds. (64 MiB stacks, torn down with every pool
// rebuild, made ThreadSanitizer report use-after-free that ASan and valgrind do not confirm.)
constexpr size_t HELPER_STACK_BYTES = 16u << 20;

std::string_view trim_ascii(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// The tablebase reaches a searcher once the search can use one; until then the worker keeps it.
template <typename Eval>
void give_tablebase(Searcher<Eval>& searcher, const std::shared_ptr<const Tablebase>& tablebase,
                    const TbUse& use) {
    if constexpr (requires { searcher.set_tablebase(tablebase); }) {
        searcher.set_tablebase(tablebase);
        searcher.set_tb_use(use);
    } else {
        (void)tablebase;
        (void)use;
    }
}

// The helper thread's own state: its searcher lives here, not in the pool.
template <typename Eval>
struct HelperContext {
    std::shared_ptr<WorkerShared<Eval>> shared;
    std::unique_ptr<Searcher<Eval>> searcher;
    std::shared_ptr<const Tablebase> tablebase;
    TbUse tb_use;
};

template <typename Eval>
std::unique_lock<std::mutex> lock_unpoisoned(WorkerShared<Eval>& shared) {
    std::unique_lock lock(shared.mutex);
    if (shared.poisoned) fatal("helper thread died");
    return lock;
}

template <typename Eval>
std::optional<SearchResult> execute(HelperContext<Eval>& ctx, WorkerCmd<Eval>& cmd) {
    Searcher<Eval>& searcher = *ctx.searcher;
    if (auto* search = std::get_if<worker::Search>(&cmd)) {
        // No limits: the helper runs until a stop flag is raised or it reaches the last depth.
        SearchLimits limits;
        limits.infinite = true;
        limits.searchmoves = std::move(search->root_moves);
        limits.start = search->start;
        return searcher.search(limits, search->root, InfoSink{});  // an empty sink: no report
    }
    if (auto* help = std::get_if<worker::HelpSplits>(&cmd)) {
        searcher.help_splits(*help->pool);
    } else if (auto* set = std::get_if<worker::SetTable>(&cmd)) {
        searcher.set_table(std::move(set->table));
    } else if (auto* set_tb = std::get_if<worker::SetTablebase>(&cmd)) {
        ctx.tablebase = std::move(set_tb->tablebase);
        ctx.tb_use = set_tb->use;
        give_tablebase(searcher, ctx.tablebase, ctx.tb_use);
    } else if (auto* set_busy = std::get_if<worker::SetBusyMoves>(&cmd)) {
        searcher.set_busy_moves(std::move(set_busy->busy));
    } else if (auto* set_pool = std::get_if<worker::SetYbwcPool>(&cmd)) {
        searcher.set_ybwc_pool(std::move(set_pool->pool));
    } else if (auto* set_eval = std::get_if<worker::SetEvaluator<Eval>>(&cmd)) {
        searcher.set_evaluator(std::move(set_eval->eval));
    } else if (std::holds_alternative<worker::Clear>(cmd)) {
        searcher.clear();
    }
    return std::nullopt;
}

// The command loop of one helper thread.
template <typename Eval>
void* helper_main(void* arg) {
    std::unique_ptr<HelperContext<Eval>> ctx(static_cast<HelperContext<Eval>*>(arg));
    std::shared_ptr<WorkerShared<Eval>> shared = ctx->shared;
    for (;;) {
        std::optional<WorkerCmd<Eval>> cmd;
        {
            std::unique_lock lock(shared->mutex);
            shared->wake.wait(lock, [&] { return shared->pending.has_value(); });
            cmd = std::move(shared->pending);
            shared->pending.reset();
        }
        const bool quit = std::holds_alternative<worker::Quit>(*cmd);
        std::optional<SearchResult> result;
        bool died = false;
        if (quit) {
            ctx.reset();  // the searcher and every shared pointer go before the pool joins
        } else {
            try {
                result = execute(*ctx, *cmd);
            } catch (...) {
                died = true;
            }
        }
        {
            std::lock_guard lock(shared->mutex);
            shared->result = std::move(result);
            shared->busy = false;
            shared->poisoned = died;
        }
        shared->wake.notify_all();
        if (quit || died) return nullptr;
    }
}

}  // namespace

std::optional<SmpMode> parse_smp_mode(std::string_view text) {
    std::string s(trim_ascii(text));
    for (char& c : s) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (s == "lazy" || s == "lazysmp") return SmpMode::LAZY;
    if (s == "ybwc") return SmpMode::YBWC;
    if (s == "abdada") return SmpMode::ABDADA;
    return std::nullopt;
}

const char* display_name(SmpMode mode) {
    switch (mode) {
    case SmpMode::LAZY: return "Lazy";
    case SmpMode::YBWC: return "YBWC";
    default: return "ABDADA";
    }
}

SearchResult pick_best_thread(const SearchResult& main, const std::vector<SearchResult>& helpers) {
    std::vector<const SearchResult*> candidates{&main};
    for (const SearchResult& h : helpers)
        if (!h.best.is_null() && h.depth > 0) candidates.push_back(&h);
    if (candidates.size() == 1) return main;

    const SearchResult* mate = nullptr;
    for (const SearchResult* c : candidates)
        if (c->score >= MATE_WIN_MIN && (!mate || c->score >= mate->score)) mate = c;
    if (mate) return *mate;

    int32_t lowest = candidates[0]->score;
    for (const SearchResult* c : candidates) lowest = std::min(lowest, c->score);
    auto vote = [&](const SearchResult& c) {
        int64_t sum = 0;
        for (const SearchResult* t : candidates)
            if (t->best == c.best) sum += int64_t(t->depth) * (int64_t(t->score) - lowest + 10);
        return sum;
    };
    const SearchResult* best = candidates[0];
    int64_t best_vote = vote(*best);
    for (size_t i = 1; i < candidates.size(); ++i) {
        const SearchResult* c = candidates[i];
        const int64_t v = vote(*c);
        if (v > best_vote || (v == best_vote && c->depth > best->depth)) {
            best = c;
            best_vote = v;
        }
    }
    return *best;
}

bool needs_played_line(const std::vector<Move>& last_pv, const SearchResult& played) {
    if (played.best.is_null()) return false;
    if (played.pv.empty()) return last_pv.empty() || last_pv[0] != played.best;
    return played.pv != last_pv;
}

template <typename Eval>
std::unique_ptr<HelperWorker<Eval>> HelperWorker<Eval>::spawn(
    int number, std::unique_ptr<Searcher<Eval>> searcher,
    std::shared_ptr<const Tablebase> tablebase, const TbUse& tb_use) {
    std::unique_ptr<HelperWorker> worker(new HelperWorker());
    worker->shared_ = std::make_shared<WorkerShared<Eval>>();
    give_tablebase(*searcher, tablebase, tb_use);
    auto* ctx = new HelperContext<Eval>{worker->shared_, std::move(searcher), std::move(tablebase),
                                        tb_use};

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, HELPER_STACK_BYTES);
    const int rc = pthread_create(&worker->thread_, &attr, &helper_main<Eval>, ctx);
    pthread_attr_destroy(&attr);
    if (rc != 0) fatal("spawn helper thread");
    const std::string name = "helper-" + std::to_string(number);
    pthread_setname_np(worker->thread_, name.c_str());
    return worker;
}

template <typename Eval>
HelperWorker<Eval>::~HelperWorker() {
    post(worker::Quit{}, false);  // a dead helper has already left its loop
    pthread_join(thread_, nullptr);
}

template <typename Eval>
void HelperWorker<Eval>::post(WorkerCmd<Eval> cmd, bool check_poison) {
    {
        std::lock_guard lock(shared_->mutex);
        if (check_poison && shared_->poisoned) fatal("helper thread died");
        shared_->pending = std::move(cmd);
        shared_->busy = true;
        shared_->result.reset();
    }
    shared_->wake.notify_all();
}

template <typename Eval>
void HelperWorker<Eval>::dispatch(WorkerCmd<Eval> cmd) {
    post(std::move(cmd), true);
}

template <typename Eval>
std::optional<SearchResult> HelperWorker<Eval>::wait() {
    std::unique_lock lock = lock_unpoisoned(*shared_);
    shared_->wake.wait(lock, [&] { return !shared_->busy; });
    if (shared_->poisoned) fatal("helper thread died");
    std::optional<SearchResult> result = std::move(shared_->result);
    shared_->result.reset();
    return result;
}

template <typename Eval>
ThreadPool<Eval>::ThreadPool(Eval eval, std::shared_ptr<TranspositionTable> table,
                             std::shared_ptr<std::atomic<bool>> stop)
    : main_(std::make_unique<Searcher<Eval>>(std::move(eval), table, stop)),
      table_(std::move(table)),
      stop_(std::move(stop)),
      helper_stop_(std::make_shared<std::atomic<bool>>(false)),
      nodes_(std::make_shared<std::atomic<uint64_t>>(0)) {
    main_->set_thread_index(0);
    main_->set_shared_nodes(nodes_);
}

template <typename Eval>
ThreadPool<Eval>::~ThreadPool() {
    // Last helper first, mirroring creation.
    while (!helpers_.empty()) helpers_.pop_back();
}

template <typename Eval>
void ThreadPool<Eval>::set_table(std::shared_ptr<TranspositionTable> table) {
    table_ = table;
    main_->set_table(table);
    for (auto& h : helpers_) {
        h->dispatch(worker::SetTable{table});
        h->wait();
    }
}

template <typename Eval>
void ThreadPool<Eval>::set_tablebase(std::shared_ptr<const Tablebase> tablebase,
                                     const TbUse& use) {
    tablebase_ = tablebase;
    tb_use_ = use;
    give_tablebase(*main_, tablebase_, tb_use_);
    for (auto& h : helpers_) {
        h->dispatch(worker::SetTablebase{tablebase, use});
        h->wait();
    }
}

template <typename Eval>
void ThreadPool<Eval>::set_mode(SmpMode mode, bool abdada) {
    mode_ = mode;
    abdada_ = abdada;
}

template <typename Eval>
void ThreadPool<Eval>::set_busy_moves(std::shared_ptr<BusyMoves> busy) {
    main_->set_busy_moves(busy);
    for (auto& h : helpers_) {
        h->dispatch(worker::SetBusyMoves{busy});
        h->wait();
    }
}

template <typename Eval>
void ThreadPool<Eval>::set_ybwc_pool(std::shared_ptr<YbwcPool> pool) {
    ybwc_ = pool;
    main_->set_ybwc_pool(pool);
    for (auto& h : helpers_) {
        h->dispatch(worker::SetYbwcPool{pool});
        h->wait();
    }
}

template <typename Eval>
void ThreadPool<Eval>::set_multipv(int lines) {
    multipv_ = lines;
    main_->set_multipv(lines);
}

template <typename Eval>
void ThreadPool<Eval>::set_helper_count(size_t count) {
    while (helpers_.size() > count) helpers_.pop_back();
    while (helpers_.size() < count) {
        const int number = int(helpers_.size()) + 1;
        auto searcher = std::make_unique<Searcher<Eval>>(Eval(main_->evaluator()), table_, stop_);
        searcher->set_thread_index(number);
        searcher->set_helper_stop(helper_stop_);
        searcher->set_shared_nodes(nodes_);
        helpers_.push_back(
            HelperWorker<Eval>::spawn(number, std::move(searcher), tablebase_, tb_use_));
    }
}

template <typename Eval>
void ThreadPool<Eval>::clear() {
    table_->clear();
    main_->clear();
    for (auto& h : helpers_) {
        h->dispatch(worker::Clear{});
        h->wait();
    }
}

template <typename Eval>
template <typename E>
    requires std::is_same_v<E, NnueEval>
void ThreadPool<Eval>::set_network(std::shared_ptr<const Network> network) {
    main_->set_evaluator(NnueEval(network));
    for (auto& h : helpers_) {
        h->dispatch(worker::SetEvaluator<NnueEval>{NnueEval(network)});
        h->wait();
    }
}

template <typename Eval>
PoolResult ThreadPool<Eval>::search(const SearchLimits& limits, const Position& root,
                                    const InfoSink& report) {
    if (!report) return search_threads(limits, root, report);
    std::vector<Move> last_pv;
    const InfoSink tracked = [&](const IterationInfo& info) {
        if (info.multipv == 1) last_pv = info.pv;
        report(info);
    };
    PoolResult out = search_threads(limits, root, tracked);
    if (needs_played_line(last_pv, out.reported)) main_->report_result(out.reported, report);
    return out;
}

template <typename Eval>
PoolResult ThreadPool<Eval>::search_threads(const SearchLimits& limits, const Position& root,
                                            const InfoSink& report) {
    nodes_->store(0, std::memory_order_relaxed);
    PoolResult out;
    if (helpers_.empty()) {
        out.main = main_->search(limits, root, report);
        out.reported = out.main;
        return out;
    }

    // YBWC: helpers only work at the main thread's splits, and only its answer counts.
    if (ybwc_) {
        helper_stop_->store(false);
        ybwc_->set_active(true);
        for (auto& h : helpers_) h->dispatch(worker::HelpSplits{ybwc_});
        out.main = main_->search(limits, root, report);
        helper_stop_->store(true);
        ybwc_->set_active(false);
        for (auto& h : helpers_) h->wait();
        out.reported = out.main;
        out.reported.nodes = nodes_->load(std::memory_order_relaxed);
        return out;
    }

    // Every helper gets the same root moves as the main thread. ABDADA searches like Lazy SMP;
    // its busy-move table, when present, is already in every searcher.
    MoveList legal;
    generate_all(root, legal);
    const std::vector<Move> root_moves =
        restrict_root_moves(std::vector<Move>(legal.begin(), legal.end()), limits.searchmoves);
    helper_stop_->store(false);
    for (auto& h : helpers_) h->dispatch(worker::Search{root, root_moves, limits.start});

    out.main = main_->search(limits, root, report);

    helper_stop_->store(true);
    std::vector<SearchResult> results;
    results.reserve(helpers_.size());
    for (auto& h : helpers_)
        if (std::optional<SearchResult> r = h->wait()) results.push_back(*r);

    out.reported = multipv_ == 1 && !out.main.best.is_null()
                       ? pick_best_thread(out.main, results)
                       : out.main;
    out.reported.nodes = nodes_->load(std::memory_order_relaxed);
    return out;
}

template class HelperWorker<PstEval>;
template class HelperWorker<NnueEval>;
template class ThreadPool<PstEval>;
template class ThreadPool<NnueEval>;
template void ThreadPool<NnueEval>::set_network<NnueEval>(std::shared_ptr<const Network>);

}  // namespace velmar
