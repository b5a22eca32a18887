#pragma once

#include <memory>
#include <utility>

// Tells the callbacks that may outlive their owner (timers, sockets, name
// resolutions, jobs) whether that owner still exists. The owner holds a
// Lifeline as a member, so the token ends with it; the callbacks hold what
// watch() or guard() gave them. Network thread only: the owner is destroyed
// on the thread that runs the callbacks, so a check cannot race its end.
class Lifeline {
public:
    // What a callback keeps: it can tell, never prolong, the owner's life.
    class Watch {
    public:
        Watch() = default;
        bool alive() const { return !m_token.expired(); }

    private:
        friend class Lifeline;
        explicit Watch(std::weak_ptr<const void> token) : m_token(std::move(token)) {}
        std::weak_ptr<const void> m_token;
    };

    Lifeline();
    Lifeline(const Lifeline&) = delete;
    Lifeline& operator=(const Lifeline&) = delete;

    Watch watch() const { return Watch(m_token); }

    // A callable that passes its arguments to f while the owner lives and
    // does nothing once it is gone.
    template <typename F> auto guard(F f) const {
        return [owner = watch(), f = std::move(f)](auto&&... args) mutable {
            if (owner.alive()) f(std::forward<decltype(args)>(args)...);
        };
    }

    // The same, but once the owner is gone the arguments go to on_gone, which
    // releases what the late callback brought (a stream to close).
    template <typename F, typename G> auto guard(F f, G on_gone) const {
        return [owner = watch(), f = std::move(f), on_gone = std::move(on_gone)](auto&&... args) mutable {
            if (owner.alive()) {
                f(std::forward<decltype(args)>(args)...);
            } else {
                on_gone(std::forward<decltype(args)>(args)...);
            }
        };
    }

private:
    std::shared_ptr<const void> m_token;
};
