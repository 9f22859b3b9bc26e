#include "quorvantis/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace quorvantis::parallel {
namespace detail {
namespace {

struct Worker {
    std::mutex mu;
    std::deque<Task*> tasks;  // owner works at the back, thieves take the front
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

    void push_local(std::size_t self, Task* task) {
        {
            std::lock_guard lock(workers_[self]->mu);
            workers_[self]->tasks.push_back(task);
        }
        notify();
    }
    void inject(Task* task) {
        {
            std::lock_guard lock(inject_mu_);
            injected_.push_back(task);
        }
        notify();
    }
    bool pop_if_back(std::size_t self, Task* task) {
        std::lock_guard lock(workers_[self]->mu);
        auto& q = workers_[self]->tasks;
        if (q.empty() || q.back() != task) return false;
        q.pop_back();
        return true;
    }

    void run(Task* task);
    void help_until_done(std::size_t self, Task& task);

private:
    // Wakes sleepers after work was added or a task finished. The epoch bump
    // and the sleeper count form a Dekker pair with the sleeping side, so no
    // wake-up is lost.
    void notify() {
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) > 0) {
            { std::lock_guard lock(sleep_mu_); }
            sleep_cv_.notify_all();
        }
    }
    template <class Done>
    void sleep_unless_changed(std::uint64_t seen, Done done) {
        std::unique_lock lock(sleep_mu_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        if (epoch_.load(std::memory_order_seq_cst) == seen && !done()) sleep_cv_.wait(lock);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    }

    Task* find(std::size_t self, bool take_injected);
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

void execute_capturing(Task* task) noexcept {
    Context* saved = tls_context;
    tls_context = task->context;
    try {
        task->execute();
    } catch (...) {
        task->error = std::current_exception();
    }
    tls_context = saved;
}

void Pool::run(Task* task) {
    const bool root = task->root;  // a root may be gone as soon as it signals
    execute_capturing(task);
    if (root) return;
    task->done.store(true, std::memory_order_release);
    notify();
}

Task* Pool::find(std::size_t self, bool take_injected) {
    const std::size_t n = workers_.size();
    {
        std::lock_guard lock(workers_[self]->mu);
        auto& q = workers_[self]->tasks;
        if (!q.empty()) {
            Task* t = q.back();
            q.pop_back();
            return t;
        }
    }
    for (std::size_t k = 1; k < n; ++k) {
        Worker& victim = *workers_[(self + k) % n];
        std::lock_guard lock(victim.mu);
        if (!victim.tasks.empty()) {
            Task* t = victim.tasks.front();
            victim.tasks.pop_front();
            return t;
        }
    }
    if (take_injected) {
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
        if (Task* t = find(self, true)) {
            run(t);
            continue;
        }
        sleep_unless_changed(seen, [] { return false; });
    }
}

// A waiting worker steals rather than blocks, but leaves new top-level jobs
// of other callers alone so that one job cannot nest inside another.
void Pool::help_until_done(std::size_t self, Task& task) {
    while (!task.done.load(std::memory_order_acquire)) {
        const std::uint64_t seen = epoch_.load(std::memory_order_seq_cst);
        if (Task* t = find(self, false)) {
            run(t);
            continue;
        }
        sleep_unless_changed(seen, [&] { return task.done.load(std::memory_order_acquire); });
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
void before_fork() { g_create_mu.lock(); }
void after_fork_parent() { g_create_mu.unlock(); }
void after_fork_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    tls_pool = nullptr;
    tls_context = nullptr;
    g_create_mu.unlock();
}

Pool& pool() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    std::lock_guard lock(g_create_mu);
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    static const bool registered = [] {
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        return true;
    }();
    (void)registered;
    auto fresh = std::make_unique<Pool>(affinity_cpus());
    fresh->start();
    Pool* p = fresh.release();
    g_pool.store(p, std::memory_order_release);
    return *p;
}

}  // namespace

bool in_worker() noexcept {
    return tls_pool != nullptr && tls_pool == g_pool.load(std::memory_order_acquire);
}

bool should_split() noexcept { return tls_pool != nullptr && tls_pool->size() > 1 && tls_pool->idle_workers(); }

void fork(Task& task) {
    task.context = tls_context;
    tls_pool->push_local(tls_index, &task);
}

void join(Task& task) noexcept {
    Pool& p = *tls_pool;
    if (p.pop_if_back(tls_index, &task)) {
        execute_capturing(&task);
        task.done.store(true, std::memory_order_relaxed);
        return;
    }
    p.help_until_done(tls_index, task);
}

namespace {

class Root final : public Task {
public:
    explicit Root(Task& inner) : inner_(inner) {
        root = true;
        context = &ctx;
        inner_.context = &ctx;
    }
    void execute() override {
        execute_capturing(&inner_);
        std::lock_guard lock(mu);
        finished = true;
        cv.notify_all();  // under the lock: the waiter may free us once it sees `finished`
    }

    Context ctx;
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;

private:
    Task& inner_;
};

}  // namespace

void run_external(Task& task, const Interrupt& interrupt) {
    Pool& p = pool();
    Root root(task);
    p.inject(&root);
    std::exception_ptr interrupt_error;
    bool stopped = false;
    std::unique_lock lock(root.mu);
    while (!root.finished) {
        root.cv.wait_for(lock, std::chrono::milliseconds(10));
        if (root.finished || !interrupt || stopped) continue;
        lock.unlock();
        try {
            stopped = interrupt();
        } catch (...) {
            interrupt_error = std::current_exception();
            stopped = true;
        }
        if (stopped) root.ctx.cancel.store(true, std::memory_order_relaxed);
        lock.lock();
    }
    lock.unlock();
    if (interrupt_error) std::rethrow_exception(interrupt_error);
    // Once the caller asked to stop, the work counts as abandoned even if it
    // happened to finish: the caller expects an error.
    if (stopped) throw Cancelled();
}

}  // namespace detail

std::size_t worker_count() { return detail::pool().size(); }

bool cancel_requested() noexcept {
    return detail::tls_context != nullptr && detail::tls_context->cancel.load(std::memory_order_relaxed);
}

}  // namespace quorvantis::parallel
