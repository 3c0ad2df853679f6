// Another process of the test program that does one piece of work (makes a
// partial file, claims a folder), tells the test it is ready, and then keeps
// running, holding whatever it made, until it is killed. The work is named:
// a test file registers its works by name, so that a child started afresh
// from the test program (Windows has no fork) finds its work too.
#pragma once

#include <string>

namespace tessary::test {

// A work of children; `argument` is what the test gave HeldChild.
using ChildWork = void (*)(const std::string& argument);

// Registers `work` under `name` (at static initialisation: keep the result
// in a namespace-scope constant). Returns true.
bool RegisterChildWork(const char* name, ChildWork work);

class HeldChild {
public:
    // Starts the child and waits (up to a minute) until its work is done.
    HeldChild(const std::string& work, const std::string& argument);
    ~HeldChild();
    HeldChild(const HeldChild&) = delete;
    HeldChild& operator=(const HeldChild&) = delete;

    // Whether the child did its work and is still running.
    bool Ready() const { return ready_; }
    // Ends the child at once (SIGKILL; TerminateProcess on Windows), as a
    // kill or a crash would, and waits until it is gone, so that its process
    // id is free.
    void Kill();

private:
    bool ready_ = false;
#ifdef _WIN32
    void* process_ = nullptr;
#else
    int pid_ = -1;
#endif
};

}  // namespace tessary::test
