// Closing: flush a writable handle, release every container, close the file.
#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

namespace {

int close_descriptor(rux_handle *handle) {
    handle->owns_descriptor = 0;
    return rux_sys_close(handle->fd) == 0 ? RUX_SUCCESS : RUX_ERROR_IO;
}

}  // namespace

int rux_close(rux_handle *handle) {
    if (handle == nullptr || !rux_is_open(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    // A handle that stopped writing (or lost its containers in a failed
    // truncation) is not flushed: it releases what is left, gives the
    // descriptor back and reports why it stopped.
    if (rux_is_writable(handle) && handle->write_error == RUX_SUCCESS) {
        const int flushed = rux_flush(handle);
        if (flushed != RUX_SUCCESS && handle->write_error == RUX_SUCCESS) {
            return flushed;  // nothing was lost; the caller may retry
        }
    }
    // A clean close lets readers count entries again; a failure here loses
    // nothing (readers keep trusting the commit point) but is reported.
    if (handle->keeps_commit_record != 0 && handle->write_error == RUX_SUCCESS) {
        rux_commit_release(handle);
    }
    const int released = rux_release_containers(handle);
    if (released != RUX_SUCCESS) {
        return released;
    }
    const int closed = close_descriptor(handle);
    return handle->write_error != RUX_SUCCESS ? rux_write_error(handle) : closed;
}
