#pragma once

// Marks the stretch in which user code (a result function, an application's
// event handler) runs on behalf of an engine routine. The routine's entry
// points check it: re-entered from inside that code, they leave their work
// to the outermost run, which does it once the user code has returned.
// Network thread only.
class ReentryGuard {
public:
    bool held() const { return m_depth > 0; }

    // Runs user_code with the guard held. Call it as the routine's last
    // step: the user code may change anything, up to ending the session, so
    // nothing of the routine's own may run after it on stale state. Nests:
    // the guard stays held until the outermost run returns.
    template <typename F> void run_user_code(F&& user_code) {
        ++m_depth;
        user_code();
        --m_depth;
    }

private:
    int m_depth = 0;
};
