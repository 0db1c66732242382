/* The seam through which a simulated adapter plugs into Halvex: a device
 * that the library reaches under a path such as "\\.\HalvexDev0" as it
 * would reach the real driver, answering DeviceIoControl's requests. Real
 * callers never need it; test rigs and the simulated machine (HalvexSim.h)
 * do. Every name of the seam starts with HalvexSeam. */
#ifndef HALVEX_SEAM_H
#define HALVEX_SEAM_H

#include <stdint.h>

#ifdef _WIN32
#ifdef HALVEX_BUILDING
#define HALVEX_SEAM_API __declspec(dllexport)
#else
#define HALVEX_SEAM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define HALVEX_SEAM_API __attribute__((visibility("default")))
#else
#define HALVEX_SEAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* DeviceIoControl's contract: returns 1 on success; 0 with *error set on
 * failure. *returned is the bytes-returned count in both cases. */
typedef int (*HalvexSeamControl)(void* context, uint32_t code, void* in, uint32_t inLength, void* out,
                                 uint32_t outLength, uint32_t* returned, uint32_t* error);

/* Makes `control` answer for the device `path` (compared without regard to
 * case), replacing an earlier one; 0 on success, 1 for a null argument. */
HALVEX_SEAM_API int HalvexSeamRegisterDevice(const char* path, HalvexSeamControl control, void* context);

/* A device that keeps state per open handle, as a driver keeps an event queue
 * per handle: `open` gives each new handle a context of its own (null refuses
 * the open), `control` is then called with that handle context, and `close`
 * gets it back once the handle is closed, or when the device is withdrawn
 * with the handle still open (after the calls in it have finished). */
typedef void* (*HalvexSeamOpen)(void* context);
typedef void (*HalvexSeamClose)(void* context, void* handle);
HALVEX_SEAM_API int HalvexSeamRegisterHandleDevice(const char* path, HalvexSeamOpen open,
                                                   HalvexSeamControl control, HalvexSeamClose close,
                                                   void* context);
/* Withdraws the device; handles already open fail their requests from then
 * on. Calls already in `control` finish first, so its context may be freed
 * once this returns (not to be called from inside `control`). 0 when it was
 * registered, 1 otherwise. Registering again at the same path withdraws the
 * earlier device the same way. */
HALVEX_SEAM_API int HalvexSeamUnregisterDevice(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_SEAM_H */
