#include "quorvantis/base/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

namespace quorvantis::parallel {
namespace detail {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

std::uint64_t now_ns() noexcept {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// Bumped in every forked child: a job that sees it change is the child's copy
// of a job whose workers stayed in the parent.
std::atomic<std::uint64_t> g_fork_generation{0};

// Fixed-capacity queue: the owner works at the back, thieves take the front.
// Queueing never allocates; a full queue makes the caller run the work itself.
struct Worker {
    static constexpr std::size_t kCapacity = 1024;
    std::mutex mu;
    Task* ring[kCapacity];
    std::size_t head = 0, tail = 0;  // live entries [head, tail), indices taken mod capacity

    Task*& at(std::size_t i) noexcept { return ring[i % kCapacity]; }
    bool empty() const noexcept { return head == tail; }
};

enum class Want {
    Any,        // a worker between jobs: everything, new jobs included
    Nested,     // a waiting joiner: queued tasks, not other callers' new jobs
    OtherJobs,  // a worker parked in a paused job: anything of another job
};

class Pool {
public:
    explicit Pool(std::size_t n) : workers_(n) {
        for (auto& w : workers_) w = std::make_unique<Worker>();
    }

    // Threads capture `this`, so a pool is never destroyed once they run; it
    // lives until the process ends (or is abandoned in a forked child).
    // If only some threads can be created the pool makes do with them; with
    // none it throws and, no thread referring to it, may be destroyed.
    void start() {
        threads_.reserve(workers_.size());
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            try {
                threads_.emplace_back([this, i] { worker_loop(i); });
            } catch (...) {
                if (i == 0) throw;
                break;
            }
            running_.store(i + 1, std::memory_order_release);
        }
    }
    std::size_t size() const noexcept { return running_.load(std::memory_order_acquire); }
    bool idle_workers() const noexcept { return sleepers_.load(std::memory_order_relaxed) > 0; }

    bool push_local(std::size_t self, Task* task) noexcept {
        Worker& w = *workers_[self];
        {
            std::lock_guard lock(w.mu);
            if (w.tail - w.head == Worker::kCapacity) return false;
            w.at(w.tail++) = task;
        }
        notify();
        return true;
    }
    void inject(Task* task) {
        {
            std::lock_guard lock(inject_mu_);
            injected_.push_back(task);
        }
        notify();
    }
    bool pop_if_back(std::size_t self, Task* task) noexcept {
        Worker& w = *workers_[self];
        std::lock_guard lock(w.mu);
        if (w.empty() || w.at(w.tail - 1) != task) return false;
        --w.tail;
        return true;
    }

    void run(Task* task) noexcept;
    void help_until_done(std::size_t self, Task& task) noexcept;
    void wait_while_paused(std::size_t self, Context& ctx) noexcept;
    void notify() noexcept {
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) > 0) {
            {
                std::lock_guard lock(sleep_mu_);
            }
            sleep_cv_.notify_all();
        }
    }

private:
    // The epoch bump and the sleeper count form a Dekker pair with notify(),
    // so no wake-up is lost.
    template <class Done>
    void sleep_unless_changed(std::uint64_t seen, Done done) {
        std::unique_lock lock(sleep_mu_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        if (epoch_.load(std::memory_order_seq_cst) == seen && !done()) sleep_cv_.wait(lock);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    }

    Task* find(std::size_t self, Want want, const Context* parked) noexcept;
    void worker_loop(std::size_t self);

    std::vector<std::unique_ptr<Worker>> workers_;
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> running_{0};
    std::mutex inject_mu_;
    std::deque<Task*> injected_;
    std::mutex sleep_mu_;
    std::condition_variable sleep_cv_;
    std::atomic<int> sleepers_{0};
    std::atomic<std::uint64_t> epoch_{0};
};

thread_local Pool* tls_pool = nullptr;
thread_local std::size_t tls_index = 0;
thread_local Context* tls_context = nullptr;

std::mutex g_create_mu;
std::atomic<Pool*> g_pool{nullptr};

// A thread counts as active in a job while it may read the job's caller
// memory. Becoming active waits while the job is paused; the seq_cst pair of
// `active` and `pause` makes the pausing caller and an entering thread agree.
void leave(Context* ctx) noexcept {
    if (ctx == nullptr) return;
    if (ctx->active.fetch_sub(1, std::memory_order_seq_cst) == 1 && ctx->pause.load(std::memory_order_seq_cst)) {
        {
            std::lock_guard lock(ctx->mu);
        }
        ctx->cv.notify_all();
    }
}

void enter(Context* ctx) noexcept {
    if (ctx == nullptr) return;
    for (;;) {
        ctx->active.fetch_add(1, std::memory_order_seq_cst);
        if (!ctx->pause.load(std::memory_order_seq_cst)) return;
        leave(ctx);
        tls_pool->wait_while_paused(tls_index, *ctx);
    }
}

void execute_capturing(Task* task, bool counted) noexcept {
    Context* saved = tls_context;
    tls_context = task->context;
    if (counted) enter(task->context);
    try {
        task->execute();
    } catch (...) {
        task->error = std::current_exception();
        if (task->context) task->context->failed.store(true, std::memory_order_relaxed);
    }
    if (counted) leave(task->context);
    tls_context = saved;
}

void Pool::run(Task* task) noexcept {
    const bool root = task->root;  // a root may be gone as soon as it signals
    execute_capturing(task, !root);
    if (root) return;
    task->done.store(true, std::memory_order_release);
    notify();
}

Task* Pool::find(std::size_t self, Want want, const Context* parked) noexcept {
    const std::size_t n = workers_.size();
    auto eligible = [&](const Task* t) { return want != Want::OtherJobs || t->context != parked; };
    {
        Worker& w = *workers_[self];
        std::lock_guard lock(w.mu);
        for (std::size_t i = w.tail; i-- > w.head;) {
            Task* t = w.at(i);
            if (!eligible(t)) continue;
            for (std::size_t j = i; j + 1 < w.tail; ++j) w.at(j) = w.at(j + 1);
            --w.tail;
            return t;
        }
    }
    for (std::size_t k = 1; k < n; ++k) {
        Worker& victim = *workers_[(self + k) % n];
        std::lock_guard lock(victim.mu);
        if (!victim.empty() && eligible(victim.at(victim.head))) return victim.at(victim.head++);
    }
    if (want != Want::Nested) {
        std::lock_guard lock(inject_mu_);
        if (!injected_.empty()) {
            Task* t = injected_.front();
            injected_.pop_front();
            return t;
        }
    }
    return nullptr;
}

void Pool::worker_loop(std::size_t self) {
    tls_pool = this;
    tls_index = self;
    for (;;) {
        const std::uint64_t seen = epoch_.load(std::memory_order_seq_cst);
        if (Task* t = find(self, Want::Any, nullptr)) {
            run(t);
            continue;
        }
        sleep_unless_changed(seen, [] { return false; });
    }
}

// A waiting worker steals rather than blocks, but leaves new top-level jobs
// of other callers alone so that one job does not nest inside another.
void Pool::help_until_done(std::size_t self, Task& task) noexcept {
    while (!task.done.load(std::memory_order_acquire)) {
        const std::uint64_t seen = epoch_.load(std::memory_order_seq_cst);
        if (Task* t = find(self, Want::Nested, nullptr)) {
            run(t);
            continue;
        }
        sleep_unless_changed(seen, [&] { return task.done.load(std::memory_order_acquire); });
    }
}

// Other jobs, new ones included, must not wait for a paused one: a caller
// polling in a signal handler may be waiting for the interpreter lock that
// the other job's caller holds.
void Pool::wait_while_paused(std::size_t self, Context& ctx) noexcept {
    while (ctx.pause.load(std::memory_order_seq_cst)) {
        if (Task* t = find(self, Want::OtherJobs, &ctx)) {
            run(t);
            continue;
        }
        std::unique_lock lock(ctx.mu);
        ctx.cv.wait_for(lock, std::chrono::milliseconds(1), [&] { return !ctx.pause.load(std::memory_order_seq_cst); });
    }
}

std::size_t affinity_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

// The forking thread holds the creation lock across fork(), so the child gets
// it in a known state; the child forgets the parent's pool (its threads do not
// exist there) and builds a fresh one on next use. The old one is leaked on
// purpose: destroying it would join threads that are gone.
void before_fork() {
    g_create_mu.lock();
}
void after_fork_parent() {
    g_create_mu.unlock();
}
void after_fork_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
    tls_pool = nullptr;
    tls_context = nullptr;
    g_create_mu.unlock();
}

// The pool, or nullptr when not a single worker thread can be started (the
// next call tries again).
Pool* pool() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
    std::lock_guard lock(g_create_mu);
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
    static const bool registered = [] {
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        return true;
    }();
    (void)registered;
    auto fresh = std::make_unique<Pool>(affinity_cpus());
    try {
        fresh->start();
    } catch (const std::system_error&) {
        return nullptr;
    }
    Pool* p = fresh.release();
    g_pool.store(p, std::memory_order_release);
    return p;
}

bool in_worker() noexcept {
    return tls_pool != nullptr && tls_pool == g_pool.load(std::memory_order_acquire);
}

class Root final : public Task {
public:
    Root(Task& inner, Context& ctx) : inner_(inner), ctx_(ctx) {
        root = true;
        inner_.context = &ctx;
    }
    void execute() override {
        execute_capturing(&inner_, true);
        std::lock_guard lock(ctx_.mu);
        finished = true;
        ctx_.cv.notify_all();  // under the lock: the waiter may free us once it sees `finished`
    }

    bool finished = false;  // guarded by ctx_.mu

private:
    Task& inner_;
    Context& ctx_;
};

// Polls the interrupt with the job paused; false once the job must end now
// (the process forked inside the poll: the job's state belongs to the parent).
bool poll(Context& ctx, const Interrupt& interrupt) {
    bool stop = false;
    try {
        stop = interrupt();
    } catch (...) {
        ctx.interrupt_error = std::current_exception();
        stop = true;
    }
    if (g_fork_generation.load(std::memory_order_relaxed) != ctx.fork_generation) return false;
    if (stop) {
        ctx.stopped = true;
        ctx.cancel.store(true, std::memory_order_relaxed);
    }
    return true;
}

// On the pool: wait for the root, pausing the job around every poll.
std::optional<Halt> wait_on_pool(Pool& p, Task& task, Context& ctx, const Interrupt& interrupt) {
    Root root(task, ctx);
    p.inject(&root);
    std::unique_lock lock(ctx.mu);
    auto next = std::chrono::steady_clock::now() + kPollInterval;
    while (!root.finished) {
        ctx.cv.wait_until(lock, next, [&] { return root.finished; });
        if (root.finished) break;
        next = std::chrono::steady_clock::now() + kPollInterval;
        if (!interrupt || ctx.stopped) continue;
        ctx.pause.store(true, std::memory_order_seq_cst);
        ctx.cv.wait(lock, [&] { return root.finished || ctx.active.load(std::memory_order_seq_cst) == 0; });
        lock.unlock();
        if (!poll(ctx, interrupt)) return Halt::Forked;  // never touch the parent's locks
        lock.lock();
        ctx.pause.store(false, std::memory_order_seq_cst);
        ctx.cv.notify_all();
    }
    return std::nullopt;
}

void run_in(Task& task, Context& ctx, const Interrupt& interrupt, std::size_t max_threads, std::optional<Halt>& halt) {
    ctx.max_threads = max_threads;
    ctx.fork_generation = g_fork_generation.load(std::memory_order_relaxed);
    Pool* p = max_threads == 1 ? nullptr : pool();
    if (p != nullptr && !in_worker()) {
        halt = wait_on_pool(*p, task, ctx, interrupt);
        if (halt) return;
    } else {
        // On this thread: checkpoints poll the interrupt themselves.
        ctx.inline_interrupt = interrupt ? &interrupt : nullptr;
        ctx.next_poll_ns = now_ns() + static_cast<std::uint64_t>(
                                          std::chrono::duration_cast<std::chrono::nanoseconds>(kPollInterval).count());
        task.context = &ctx;
        Pool* saved_pool = tls_pool;
        tls_pool = nullptr;  // no forking from here
        execute_capturing(&task, false);
        tls_pool = saved_pool;
        if (g_fork_generation.load(std::memory_order_relaxed) != ctx.fork_generation) {
            halt = Halt::Forked;
            return;
        }
    }
    if (ctx.interrupt_error) std::rethrow_exception(ctx.interrupt_error);
    // Once the caller asked to stop, the work counts as abandoned even if it
    // happened to finish: the caller expects the stop.
    if (ctx.stopped) halt = Halt::Interrupted;
}

class FunctionTask final : public Task {
public:
    explicit FunctionTask(const std::function<void()>& body) : body_(body) {}
    void execute() override { body_(); }

private:
    const std::function<void()>& body_;
};

bool is_cancelled(const std::exception_ptr& e) noexcept {
    try {
        std::rethrow_exception(e);
    } catch (const Cancelled&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

bool inside_job() noexcept {
    return tls_context != nullptr && (in_worker() || tls_context->inline_interrupt != nullptr || tls_pool == nullptr);
}

bool should_split() noexcept {
    if (tls_pool == nullptr || tls_pool->size() <= 1 || !tls_pool->idle_workers()) return false;
    const Context* ctx = tls_context;
    return ctx == nullptr || ctx->max_threads == 0 ||
           ctx->active.load(std::memory_order_relaxed) < static_cast<int>(ctx->max_threads);
}

bool try_fork(Task& task) noexcept {
    task.context = tls_context;
    return tls_pool->push_local(tls_index, &task);
}

void join_quietly(Task& task) noexcept {
    Pool& p = *tls_pool;
    if (p.pop_if_back(tls_index, &task)) {
        // Still active: run it as part of this thread's own work.
        execute_capturing(&task, false);
        task.done.store(true, std::memory_order_relaxed);
        return;
    }
    Context* ctx = tls_context;
    leave(ctx);
    p.help_until_done(tls_index, task);
    enter(ctx);
}

void join(Task& task) {
    join_quietly(task);
    checkpoint();
}

std::exception_ptr first_failure(std::exception_ptr a, std::exception_ptr b) noexcept {
    if (!a) return b;
    if (!b) return a;
    return is_cancelled(a) && !is_cancelled(b) ? b : a;
}

// The job's state, leaked in a forked child: its condition variable may have
// waiters that exist only in the parent, and destroying it would wait for them.
struct JobState {
    std::unique_ptr<Context> ctx = std::make_unique<Context>();
    std::optional<Halt> halt;
    ~JobState() {
        if (halt == Halt::Forked) (void)ctx.release();
    }
};

void run_external(Task& task) {
    JobState job;
    run_in(task, *job.ctx, Interrupt{}, 0, job.halt);
    if (job.halt) throw Cancelled();
}

}  // namespace detail

std::optional<Halt> run_job(const std::function<void()>& body, const JobOptions& options) {
    using namespace detail;
    if (inside_job()) {
        body();
        return std::nullopt;
    }
    FunctionTask task(body);
    JobState job;
    run_in(task, *job.ctx, options.interrupt, options.max_threads, job.halt);
    if (job.halt) return job.halt;
    if (task.error) {
        if (is_cancelled(task.error)) return Halt::Interrupted;
        std::rethrow_exception(task.error);
    }
    return std::nullopt;
}

std::size_t worker_count() {
    detail::Pool* p = detail::pool();
    return p ? p->size() : 0;
}

std::size_t job_threads() {
    using namespace detail;
    if (!inside_job()) return std::max<std::size_t>(1, worker_count());
    if (tls_pool == nullptr) return 1;
    const std::size_t workers = tls_pool->size(), limit = tls_context->max_threads;
    return std::max<std::size_t>(1, limit == 0 ? workers : std::min(workers, limit));
}

bool cancel_requested() noexcept {
    const detail::Context* ctx = detail::tls_context;
    return ctx != nullptr &&
           (ctx->cancel.load(std::memory_order_relaxed) || ctx->failed.load(std::memory_order_relaxed));
}

void checkpoint() {
    using namespace detail;
    Context* ctx = tls_context;
    if (ctx == nullptr) return;
    if (ctx->inline_interrupt != nullptr) {
        const std::uint64_t t = now_ns();
        if (t >= ctx->next_poll_ns && !ctx->stopped) {
            ctx->next_poll_ns = t + static_cast<std::uint64_t>(
                                        std::chrono::duration_cast<std::chrono::nanoseconds>(kPollInterval).count());
            if (!poll(*ctx, *ctx->inline_interrupt)) throw Cancelled();
        }
    } else if (ctx->pause.load(std::memory_order_relaxed)) {
        leave(ctx);
        enter(ctx);
    }
    if (cancel_requested()) throw Cancelled();
}

}  // namespace quorvantis::parallel
