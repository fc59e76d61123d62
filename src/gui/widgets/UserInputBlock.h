#pragma once

// While a console tool runs, the window keeps painting (the runner
// processes events) but must take no user input: a second click would
// start a second action, a drop would change the list under the tool, and
// closing would quit under it. The window blocks its input itself, from the
// tool's start to its end.

#include <QObject>

#include <memory>

class UserInputBlocker;

class UserInputBlock {
public:
    UserInputBlock();
    ~UserInputBlock();
    UserInputBlock(const UserInputBlock &) = delete;
    UserInputBlock &operator=(const UserInputBlock &) = delete;

    // Swallows every user input event and refuses to close windows of the
    // application while `blocked`; nothing held back is replayed later.
    void setBlocked(bool blocked);
    bool isBlocked() const { return m_blocked; }

private:
    std::unique_ptr<UserInputBlocker> m_blocker;
    bool m_blocked = false;
};
