// libusb contexts, log levels and error names.
#include <algorithm>
#include <cstdarg>

#include "sim/libusb/sim_core.h"

using nxsim::usb::Core;

namespace {

int clamp_level(int level) {
    return std::clamp(level, static_cast<int>(LIBUSB_LOG_LEVEL_NONE),
                      static_cast<int>(LIBUSB_LOG_LEVEL_DEBUG));
}

void set_level(Core &core, libusb_context *ctx, int level) {
    level = clamp_level(level);
    core.last_log_level = level;
    if (ctx) {
        ctx->log_level = level;
        return;
    }
    // Without a context the level applies to the default context and to
    // every context created from now on.
    core.default_log_level = level;
    if (core.default_ctx) core.default_ctx->log_level = level;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    if (ctx) {
        *ctx = core.create_context();
        return LIBUSB_SUCCESS;
    }
    if (!core.default_ctx) core.default_ctx = core.create_context();
    ++core.default_ctx_refs;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx) {
    Core &core = Core::get();
    {
        std::lock_guard lock(core.mu);
        if (!ctx) {
            if (!core.default_ctx) return;
            if (--core.default_ctx_refs > 0) return;
            ctx = core.default_ctx;
            core.default_ctx = nullptr;
        } else {
            core.require_context(ctx, "libusb_exit");
        }
        core.destroy_context(ctx);
    }
}

void LIBUSB_CALL libusb_set_debug(libusb_context *ctx, int level) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    if (ctx) core.require_context(ctx, "libusb_set_debug");
    set_level(core, ctx, level);
}

int LIBUSB_CALL libusb_set_option(libusb_context *ctx, enum libusb_option option, ...) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    if (ctx) core.require_context(ctx, "libusb_set_option");
    switch (option) {
        case LIBUSB_OPTION_LOG_LEVEL: {
            va_list args;
// libusb's own signature puts an enum before the variadic part; an enum of
// int range is passed like an int on every ABI this builds for.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
            va_start(args, option);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
            int level = va_arg(args, int);
            va_end(args);
            if (level < LIBUSB_LOG_LEVEL_NONE || level > LIBUSB_LOG_LEVEL_DEBUG)
                return LIBUSB_ERROR_INVALID_PARAM;
            set_level(core, ctx, level);
            return LIBUSB_SUCCESS;
        }
        case LIBUSB_OPTION_NO_DEVICE_DISCOVERY:
            return LIBUSB_SUCCESS;
        default:
            return LIBUSB_ERROR_NOT_SUPPORTED;
    }
}

const char *LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED:
            return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        case LIBUSB_ERROR_OTHER:
            return "LIBUSB_ERROR_OTHER";
        case LIBUSB_TRANSFER_ERROR:
            return "LIBUSB_TRANSFER_ERROR";
        case LIBUSB_TRANSFER_TIMED_OUT:
            return "LIBUSB_TRANSFER_TIMED_OUT";
        case LIBUSB_TRANSFER_CANCELLED:
            return "LIBUSB_TRANSFER_CANCELLED";
        case LIBUSB_TRANSFER_STALL:
            return "LIBUSB_TRANSFER_STALL";
        case LIBUSB_TRANSFER_NO_DEVICE:
            return "LIBUSB_TRANSFER_NO_DEVICE";
        case LIBUSB_TRANSFER_OVERFLOW:
            return "LIBUSB_TRANSFER_OVERFLOW";
        default:
            return "**UNKNOWN**";
    }
}

}  // extern "C"
