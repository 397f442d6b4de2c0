/*
 * Vextra crash reporter: the public C interface of Vextra64.dll (Windows x86-64)
 * and libVextra64.so (Linux x86-64).
 *
 * Conventions
 * - Every function has C linkage and the platform's standard calling convention.
 * - bool is one byte: 0 is false, anything else true.
 * - Narrow texts (const char*) are NUL-terminated bytes, passed on unchanged
 *   (UTF-8 or the host's ANSI code page). Wide texts are NUL-terminated wchar_t
 *   strings (UTF-16 on Windows). Where a narrow path is converted, at most 259
 *   characters survive; on Linux narrow paths are UTF-8.
 * - A null text is treated as absent; no function dereferences it.
 * - The library never keeps a pointer to a text the host passed; the host may
 *   free its strings as soon as a call returns.
 * - Callbacks are passed as unsigned 64-bit integers holding a function address.
 * - Every function may be called from any thread. No function lets an exception
 *   escape: failures show as a false, 0, -1 or -2 result and an SDK log line.
 */
#ifndef VEXTRA_H_
#define VEXTRA_H_

#include <stdint.h>
#include <wchar.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(VEXTRA_BUILDING_LIBRARY)
#define VEXTRA_API __declspec(dllexport)
#else
#define VEXTRA_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VEXTRA_API __attribute__((visibility("default")))
#else
#define VEXTRA_API
#endif

struct _EXCEPTION_POINTERS;

#ifdef __cplusplus
/* A host's crash observer. The library asks it for an extra text each time it
 * builds a report; the text (owned by the observer, read during the call only)
 * travels as the user value "extmsg". The library never copies or deletes the
 * object; it may ask from any thread, also while the process is crashing.
 *
 * The virtual table has exactly three slots, in this order, and the library
 * calls the third one directly: the destructor, OnCrashReserved,
 * OnCrashExtraMessage. MSVC gives a virtual destructor one slot. GCC and Clang
 * (MinGW included) would give it two, moving OnCrashExtraMessage to the fourth
 * slot; for them the first slot is a placeholder instead and the destructor is
 * protected and not virtual, so an observer is never deleted through a
 * HRBCrashObserver pointer. A derived class may still declare its own virtual
 * destructor: its slots come after these three. */
class HRBCrashObserver {
 public:
#if defined(_MSC_VER)
  virtual ~HRBCrashObserver() {}
#else
  /* Holds the destructor's place in the table; never called by the library. */
  virtual void OnCrashDestroySlot() {}
#endif
  /* Reserved; never called by the library. */
  virtual void* OnCrashReserved(void* /*reserved*/) { return 0; }
  /* kind: 2 for crash-dump reports, the error type for error reports. */
  virtual const char* OnCrashExtraMessage(int32_t /*kind*/) { return 0; }
#if !defined(_MSC_VER)

 protected:
  ~HRBCrashObserver() {}
#endif
};
extern "C" {
#else
typedef struct HRBCrashObserver HRBCrashObserver;
#endif

/* Crash callback: called once, on the crashing thread, with (1, crash GUID text)
 * before the dump is written. */
typedef void (*VextraCrashCallback)(int32_t kind, const char* guid);
/* Engine callback: called with (1012, report kind, 0); returns the extra text or null. */
typedef const char* (*VextraUnityCallback)(int32_t code, int32_t kind, int32_t reserved);

/* ---- Start-up and identity ------------------------------------------------ */
VEXTRA_API void SetPXRConfig(const char* user_id, const char* app_version, const char* reserved);
VEXTRA_API void VX_InitContext(const char* user_id, const char* app_version, const char* reserved);
VEXTRA_API void VX_InitWithAppId(const char* app_id);
VEXTRA_API void VX_SetAppVersion(const char* app_version);
VEXTRA_API void VX_ConfigCrashServerUrl(const char* server_url);
VEXTRA_API void SetUserId(const char* user_id);
VEXTRA_API void VX_SetUserId(const char* user_id);
/* Refused (false) once the library is initialised. */
VEXTRA_API bool VX_SetDeviceId(const char* device_id);
VEXTRA_API bool VX_SetEnvironmentName(const char* environment);
/* Accepts 0, a single bit up to 0x200000, or 0x3FFFFF. */
VEXTRA_API bool VX_SetDumpType(int32_t dump_type);
VEXTRA_API void VX_SetCrashUploadEnable(bool enable);
VEXTRA_API void VX_SetWorkSpace(const char* directory);
VEXTRA_API void VX_SetWorkSpaceW(const wchar_t* directory);
VEXTRA_API void SetCustomLogDir(const char* log_file_path);
VEXTRA_API void VX_SetCustomLogDir(const char* log_file_path);
VEXTRA_API void VX_SetCustomLogDirW(const wchar_t* log_file_path);
/* Returns its argument. */
VEXTRA_API bool VX_ConfigDebugMode(bool enable);
VEXTRA_API void VX_ConfigCrashReporter(int32_t log_level);
/* Copies the 32-character session id without a terminator; pass a zero-filled
 * buffer of at least 33 bytes. Writes nothing before start-up. */
VEXTRA_API void VX_GetSessionId(char* out_buffer);
VEXTRA_API void SetUserValue(const char* key, const char* value);
VEXTRA_API void VX_SetUserValue(const char* key, const char* value);
VEXTRA_API uint64_t SetInitializedCallback(uint64_t callback);

/* ---- Logging into the in-memory ring that travels with every report -------- */
VEXTRA_API bool PrintLog(int32_t level, const char* tag, const char* format, ...);
VEXTRA_API bool VX_PrintLog(int32_t level, const char* tag, const char* format, ...);
VEXTRA_API bool VX_PrintLogSafe(bool filter, int32_t level, const char* tag, const char* message);

/* ---- Crash capture ---------------------------------------------------------- */
VEXTRA_API void VxReportCrash(void);
VEXTRA_API void VX_ReportCrash(void);
VEXTRA_API int32_t VX_ReportCrashWithExpInfo(struct _EXCEPTION_POINTERS* exception_pointers);
/* Raises an access violation in the calling thread; does not return. */
VEXTRA_API void VX_TestNativeCrash(void);
VEXTRA_API bool SetVehEnable(bool enable);
VEXTRA_API bool VX_SetVehEnable(bool enable);
VEXTRA_API void SetExtraHandler(bool enable);
VEXTRA_API void VX_SetExtraHandler(bool enable);
VEXTRA_API void VX_AddValidExpCode(int32_t exception_code);
VEXTRA_API void VX_UnrealCriticalErrorEnable(bool enable);
/* Starts a thread that uploads the dumps in the directory; returns 0 at once. */
VEXTRA_API int32_t UploadGivenPathDump(const char* directory, bool flag);
VEXTRA_API int32_t VX_UploadGivenPathDump(const char* directory, bool flag);
VEXTRA_API int32_t VX_ReportDump(const char* dump_path, bool asynchronous);
VEXTRA_API bool VX_UploadCrashWithGuid(const char* guid);
/* Returns its argument. */
VEXTRA_API uint64_t SetCrashCallback(uint64_t callback);
VEXTRA_API uint64_t VX_SetCrashCallback(uint64_t callback);
VEXTRA_API void VX_SetCrashObserver(HRBCrashObserver* observer);
VEXTRA_API void vx_setUnityCallback(VextraUnityCallback callback);
/* Reserved: reads no argument and has no effect. */
VEXTRA_API void VX_MonitorEnable(bool enable);

/* ---- Error reports -------------------------------------------------------- */
VEXTRA_API void reportException(int32_t type, const char* name, const char* message, const char* stack,
                                const char* extra_info, bool asynchronous, const wchar_t* log_path);
VEXTRA_API void VX_ReportException(int32_t type, const char* name, const char* message, const char* stack,
                                   const char* extra_info, bool asynchronous, const char* log_path);
VEXTRA_API void VX_ReportExceptionW(int32_t type, const char* name, const char* message, const char* stack,
                                    const char* extra_info, bool asynchronous, const wchar_t* log_path);

#ifdef __cplusplus
}
#endif

#endif /* VEXTRA_H_ */
