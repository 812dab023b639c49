#include "core/parallel/named_thread.h"

#include <pthread.h>

#include <atomic>
#include <type_traits>

#include "core/board/types.h"

namespace orvane {

static_assert(std::is_integral_v<pthread_t> && sizeof(pthread_t) <= sizeof(std::uintptr_t));

struct NamedThread::Shared {
    std::function<void()> body;
    std::string name;
    std::atomic<bool> crashed{false};
};

namespace {
void* thread_main(void* arg) {
    auto* shared = static_cast<std::shared_ptr<NamedThread::Shared>*>(arg);
    std::shared_ptr<NamedThread::Shared> s = std::move(*shared);
    delete shared;
    pthread_setname_np(pthread_self(), s->name.substr(0, 15).c_str());
    try {
        s->body();
    } catch (...) {
        s->crashed.store(true);
    }
    return nullptr;
}
}  // namespace

NamedThread::NamedThread(NamedThread&& other) noexcept
    : handle_(other.handle_), started_(other.started_), shared_(std::move(other.shared_)) {
    other.started_ = false;
}

NamedThread& NamedThread::operator=(NamedThread&& other) noexcept {
    if (this != &other) {
        if (started_) join();
        handle_ = other.handle_;
        started_ = other.started_;
        shared_ = std::move(other.shared_);
        other.started_ = false;
    }
    return *this;
}

NamedThread::~NamedThread() {
    if (started_) join();
}

NamedThread NamedThread::spawn(const std::string& name, std::size_t stack_bytes,
                               std::function<void()> body, const std::string& failure_message) {
    NamedThread t;
    t.shared_ = std::make_shared<Shared>();
    t.shared_->body = std::move(body);
    t.shared_->name = name;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    auto* arg = new std::shared_ptr<Shared>(t.shared_);
    pthread_t handle;
    int rc = pthread_create(&handle, &attr, thread_main, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        fatal(failure_message);
    }
    t.handle_ = handle;
    t.started_ = true;
    return t;
}

bool NamedThread::join() {
    if (!started_) return true;
    pthread_join(static_cast<pthread_t>(handle_), nullptr);
    started_ = false;
    // What the body holds (a search job, its pool) goes now, not when the next thread starts.
    shared_->body = nullptr;
    return !shared_->crashed.load();
}

}  // namespace orvane
