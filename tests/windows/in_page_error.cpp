// The Windows build's path for a lost page of the input, run under Wine by
// the cross build's tests. Wine cannot make a view lose a page, so the
// in-page error is raised here as the system reports one (the read's
// address second) from inside a watched run, on either thread of run_both:
// the run must end as a lost read, at once, with the other thread's writes
// failing and the spill it held closed by release_scratch. An in-page error
// elsewhere must go on to the next handler. What the system itself raises
// for a real view (and whether it does, for each way a page is lost) is not
// shown here.
#include "platform/platform.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace
{

unsigned char watched[1 << 16];

struct half {
    const unsigned char *faults_at = nullptr; // null: the half that only writes
    bool went_on = false;                     // the work went on past the error
    bool writes_failed = false;               // the writing half saw its writes fail
    HANDLE spill = nullptr;                   // the faulting half's held spill
};

std::atomic<bool> raising{false};
std::atomic<bool> raised_and_went_on{false};
std::atomic<bool> passed_on{false};
int sink = -1;

// The error as the system gives it: read (0), the address, the I/O status.
void raise_in_page_error(const unsigned char *at)
{
    constexpr ULONG_PTR device_data_error = 0xC000009C;
    ULONG_PTR information[3] = {0, reinterpret_cast<ULONG_PTR>(at), device_data_error};
    RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 3, information);
}

// The writing half waits (a few seconds at most) for the other's error, then
// for its writes to fail, unless the other went on past it.
void wait_for_failed_write(half *h)
{
    for (int tries = 0; tries < 5000 && !raising.load(); ++tries)
        Sleep(1);
    for (int tries = 0; tries < 5000 && !h->writes_failed; ++tries) {
        bool went_on = raised_and_went_on.load();
        h->writes_failed = !write_exactly(sink, "x", 1);
        if (went_on)
            break;
        Sleep(1);
    }
}

void work(void *arg)
{
    auto *h = static_cast<half *>(arg);
    if (h->faults_at == nullptr) {
        wait_for_failed_write(h);
        return;
    }
    int fd = open_spill(".", 1);
    if (fd >= 0 && hold_scratch_file(fd))
        h->spill = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    raising = true;
    raise_in_page_error(h->faults_at);
    h->went_on = true;
    raised_and_went_on = true;
}

void run_halves(void *halves)
{
    auto *both = static_cast<half *>(halves);
    run_both(work, &both[0], &both[1], true);
}

// Ours comes last: an error the tool's handler passes on is taken here and
// the raising call returns.
LONG CALLBACK take_passed_on(EXCEPTION_POINTERS *exception)
{
    if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_IN_PAGE_ERROR)
        return EXCEPTION_CONTINUE_SEARCH;
    passed_on = true;
    return EXCEPTION_CONTINUE_EXECUTION;
}

int failures = 0;

void check(bool holds, const char *what, const char *where)
{
    if (!holds) {
        std::fprintf(stderr, "%s: %s\n", where, what);
        ++failures;
    }
}

void fault_on(int faulting, const char *where)
{
    half halves[2];
    halves[faulting].faults_at = watched + sizeof watched / 2;
    raising = false;
    raised_and_went_on = false;
    passed_on = false;
    bool done = run_watched(run_halves, halves, watched, sizeof watched);
    check(!done, "the run was not cut short", where);
    check(!halves[faulting].went_on, "the work went on past the error", where);
    check(halves[1 - faulting].writes_failed, "the other thread's writes went on", where);
    check(!passed_on, "the error was passed on", where);
    check(halves[faulting].spill != nullptr, "no spill was held", where);
    release_scratch();
    DWORD flags = 0;
    check(!GetHandleInformation(halves[faulting].spill, &flags), "the spill was left open", where);
    check(write_exactly(sink, "x", 1), "writes still fail after the run", where);
}

void fault_elsewhere()
{
    static unsigned char elsewhere[16];
    half halves[2];
    halves[0].faults_at = elsewhere;
    raising = false;
    raised_and_went_on = false;
    passed_on = false;
    const char *where = "an error outside the watched input";
    bool done = run_watched(run_halves, halves, watched, sizeof watched);
    check(done && halves[0].went_on, "the run was cut short", where);
    check(passed_on, "the error was not passed on", where);
    check(halves[1].writes_failed == false, "the other thread's writes failed", where);
    release_scratch();
}

} // namespace

int main()
{
    install_signal_cleanup();
    AddVectoredExceptionHandler(0, take_passed_on);
    sink = _open("NUL", _O_WRONLY | _O_BINARY);
    if (sink < 0) {
        std::fputs("NUL cannot be opened\n", stderr);
        return 1;
    }
    fault_on(0, "an error on the calling thread");
    fault_on(1, "an error on the started thread");
    fault_elsewhere();
    return failures == 0 ? 0 : 1;
}
