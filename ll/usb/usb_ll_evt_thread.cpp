// The per-camera event thread: the only thread that handles libusb events
// for the camera's context, so every transfer completes on it.
#include <pthread.h>
#include <sys/time.h>

#include <csignal>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

// The record whose events the calling thread handles, if it is an event thread.
thread_local const usb_ll_dev_priv *t_evt_priv = nullptr;

// The thread's name in debuggers and process listings (at most 15 characters).
constexpr char kThreadName[] = "nivex-usb-evt";
// The thread body and its event loop log under these names.
constexpr const char *kThreadFn = "_usb_ll_evt_thread";
constexpr const char *kLoopFn = "_ll_event_loop";

// Blocks, for the creating thread while it exists, every signal an
// application may catch; a thread started meanwhile inherits the mask. Only
// the signals the processor raises for a faulty instruction stay open.
class CatchableSignalsBlocked {
  public:
    CatchableSignalsBlocked() {
        sigset_t blocked;
        sigfillset(&blocked);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
            sigdelset(&blocked, fault);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~CatchableSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    CatchableSignalsBlocked(const CatchableSignalsBlocked &) = delete;
    CatchableSignalsBlocked &operator=(const CatchableSignalsBlocked &) = delete;

  private:
    sigset_t previous_;
};

// True when the loop should end after the error `rc` of an event wait.
bool leave_on_error(int rc, bool exit_requested) {
    if (rc == LIBUSB_ERROR_INTERRUPTED) {
        // Close wakes the wait on purpose; anything else that interrupts it
        // is a signal (blocked here, but a library or debugger may still
        // deliver one): wait again, the transfers are still there.
        if (!exit_requested) NX_DBG(kLoopFn, "[%s] event wait interrupted, waiting again\n");
        return exit_requested;
    }
    NX_ERR(kLoopFn, "[%s] libusb reports error: %s\n", libusb_error_name(rc));
    switch (rc) {
        case LIBUSB_ERROR_TIMEOUT:
            NX_WRN(kLoopFn, "[%s] libusb_handle_events timeout \n");
            return true;
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_OVERFLOW:
            return exit_requested;
        default:
            return true;
    }
}

}  // namespace

bool usb_ll_on_evt_thread(const usb_ll_dev_priv *priv) {
    return priv != nullptr && t_evt_priv == priv;
}

std::thread usb_ll_start_evt_thread(ll_device *ll) {
    CatchableSignalsBlocked blocked;
    return std::thread(usb_ll_evt_thread, ll);
}

void usb_ll_evt_thread(ll_device *ll) {
    usb_ll_dev_priv *priv = usb_priv(ll);
    t_evt_priv = priv;
    pthread_setname_np(pthread_self(), kThreadName);
    NX_DBG(kThreadFn, "[%s] enter\n");
    priv->evt_running.store(1);
    NX_TRC(kLoopFn, "[%s] Enter ll event loop...\n");
    for (;;) {
        timeval wait{0, EVT_TIMEOUT_US};
        int rc = libusb_handle_events_timeout_completed(priv->ctx, &wait, &priv->evt_exit);
        bool exit_requested = priv->evt_exit_flag().load() != 0;
        if (rc >= 0) {
            if (exit_requested) break;
            continue;
        }
        if (leave_on_error(rc, exit_requested)) break;
    }
    priv->evt_running.store(0);
    NX_TRC(kLoopFn, "[%s] Exit ll event loop...\n");
    NX_DBG(kThreadFn, "[%s] exit\n");
    t_evt_priv = nullptr;
    priv->evt_ended.store(true);
}
