// Texts for the error codes, for C callers that report them.
#include "rux/rux.h"

const char *rux_strerror(int error) {
    switch (error) {
        case RUX_SUCCESS:
            return "success";
        case RUX_ERROR_IO:
            return "input/output error (errno tells which)";
        case RUX_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case RUX_ERROR_NOT_A_RUX_FILE:
            return "not a rux file";
        case RUX_ERROR_INVALID_RUX_FILE_VERSION:
            return "unsupported rux file version";
        case RUX_ERROR_FILE_CORRUPT:
            return "corrupt rux file";
        case RUX_ERROR_MEMORY_ALLOCATION_FAILED:
            return "memory allocation failed";
        case RUX_ERROR_NAMELIST_FULL:
            return "namelist is full";
        case RUX_ERROR_FILE_MUST_BE_WRITABLE:
            return "file must be writable";
        case RUX_ERROR_FILE_MUST_BE_READABLE:
            return "file must be readable";
        default:
            return "unknown error";
    }
}
