/* The simulated adapter as a test rig or the utility drives it: a whole
 * simulated machine (the adapter's driver, its radio world and the adapter's
 * registry) that Halvex reaches as it would reach the real device, with the
 * stand-in supplicant in the caller's process. Everything the machine keeps
 * lives in one state directory (owner only):
 *
 *   registry.reg[.log]  the registry (POSIX hosts; on Windows a sandbox key of
 *                       the directory's own, never the machine's registry)
 *   access-points.json  the networks in range, user-editable; a default one
 *                       is written on the first run
 *   world.json          what the adapter was doing: its association, radio,
 *                       counters and stored driver values
 *   radius/             the built-in RADIUS server's secret, test CA, server
 *                       certificate and users' client certificates
 *   simd.sock, simd.log the machine's service (POSIX hosts)
 *
 * On POSIX hosts one machine per state directory is shared by every process
 * that starts it, as a real adapter, its driver and the registry are one per
 * machine: a service process (halvex-simd) holds it, started by the first
 * HalvexSimStart and ending when no process has used it for a while (60 s;
 * HALVEX_SIM_IDLE seconds when set as it starts, 0 never). Each process's
 * device handles and registry calls go to it. HalvexSimStartInProcess keeps
 * the machine in the calling process instead (for embedding and for tests
 * that steer it): the directory's files are then locked while it runs. On
 * Windows the machine is always in the process; processes on one directory
 * take turns.
 *
 * Every call returns HALVEXSIM_OK or HALVEXSIM_FAILED. Where a call takes a
 * `messages` buffer it writes there, NUL-terminated and cut to `size`, one
 * line per problem met (also on success: a damaged file that was moved aside
 * and replaced is reported, not hidden). */
#ifndef HALVEX_SIM_H
#define HALVEX_SIM_H

#ifdef _WIN32
#ifdef HALVEXSIM_BUILDING
#define HALVEXSIM_API __declspec(dllexport)
#else
#define HALVEXSIM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define HALVEXSIM_API __attribute__((visibility("default")))
#else
#define HALVEXSIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define HALVEXSIM_OK 0
#define HALVEXSIM_FAILED 1

/* Makes the machine of `stateDir` (created with its parents) this process's
 * adapter: connects to its service, starting it when none runs (POSIX), or
 * loads it here (Windows). Call it before HalvexOpenAdapter; one machine per
 * process. */
HALVEXSIM_API int HalvexSimStart(const char* stateDir, char* messages, unsigned size);

/* The same with the machine in this process, whatever the platform. */
HALVEXSIM_API int HalvexSimStartInProcess(const char* stateDir, char* messages, unsigned size);

/* Saves the world and lets the machine go (the service runs on). Returns
 * HALVEXSIM_FAILED when anything changed could not be saved, the registry
 * included. */
HALVEXSIM_API int HalvexSimStop(char* messages, unsigned size);

/* Lines the machine has to say while a call is still under way (waiting for
 * another process that has the state directory); null: none. */
typedef void (*HalvexSimNotice)(const char* line);
HALVEXSIM_API void HalvexSimSetNotice(HalvexSimNotice notice);

/* The service of `stateDir`, if one runs (POSIX): its state as JSON text
 * ({"pid", "uptimeSeconds", "clients", "handles", "stateDirectory", "readOnly"}), cut to
 * `size`; HALVEXSIM_FAILED, with the reason in `text`, when none runs. */
HALVEXSIM_API int HalvexSimServiceStatus(const char* stateDir, char* text, unsigned size);
/* Asks the service of `stateDir` to save and end; HALVEXSIM_OK also when
 * none ran. Waits until it has ended. */
HALVEXSIM_API int HalvexSimServiceStop(const char* stateDir, char* messages, unsigned size);

/* Writes every frame the adapter carries (EAPOL out and in) to a pcap file
 * (Ethernet link type) from now until HalvexSimStop. */
HALVEXSIM_API int HalvexSimCapture(const char* path, char* messages, unsigned size);

/* The driver requests of this run as text, one per line. Returns the size
 * the text needs with its NUL and copies as much as fits. */
HALVEXSIM_API unsigned HalvexSimRequestLog(char* buffer, unsigned size);

/* Exports the registry key `key` (a full path such as
 * "HKEY_LOCAL_MACHINE\\System\\...") with its subkeys to a .reg file, or
 * applies a .reg file. Works on the registry the process sees: the
 * machine's sandbox while it runs. */
HALVEXSIM_API int HalvexSimExportRegistry(const char* key, const char* path, char* messages, unsigned size);
HALVEXSIM_API int HalvexSimImportRegistry(const char* path, char* messages, unsigned size);

/* 1 when the associated network's port is open: its authenticator (if any)
 * let the station through and traffic flows; 0 otherwise. */
HALVEXSIM_API int HalvexSimPortOpen(void);

/* The machine's built-in RADIUS server, which its 802.1X access points use
 * unless they name their own: its address ("127.0.0.1:PORT"), secret and
 * the path of the CA certificate its own certificate chains to, each
 * NUL-terminated. HALVEXSIM_FAILED (empty texts) while none runs or when a
 * text does not fit its buffer; a null buffer is not asked for. */
HALVEXSIM_API int HalvexSimRadiusServer(char* address, unsigned addressSize, char* secret,
                                        unsigned secretSize, char* caCertificate, unsigned caSize);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_SIM_H */
