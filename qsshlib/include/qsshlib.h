/* qsshlib: an SSH and SFTP client library with a plain C interface.
 *
 * The caller owns one TSshLibContext per connection, zero-filled, with
 * structsize set and its callback slots filled, and passes its address to
 * almost every call. The library calls back synchronously, on the caller's
 * thread, only while one of its functions runs. A callback may throw a C++
 * exception: it leaves through the library function under way, and the
 * context stays usable and freeable. So the library and its caller must be
 * built with one C++ runtime: those exceptions pass through the library.
 *
 * Texts are zero-terminated 8-bit strings; remote paths and names are UTF-8.
 * Texts the library hands out belong to it: copy them at once.
 */
#ifndef QSSHLIB_H
#define QSSHLIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library exports exactly these functions. Windows marks them for export
 * while the library is built and for import elsewhere; other systems build it
 * with hidden symbols and show only these. */
#if defined(_WIN32)
#if defined(QSSHLIB_BUILDING)
#define QSSHLIB_API __declspec(dllexport)
#else
#define QSSHLIB_API __declspec(dllimport)
#endif
#elif defined(QSSHLIB_BUILDING)
#define QSSHLIB_API __attribute__((visibility("default")))
#else
#define QSSHLIB_API
#endif

/* One byte; 0 is false, anything else true. */
typedef uint8_t qssh_bool;

typedef struct TSshLibContext TSshLibContext;

/* Attribute flags, as in the SFTP version 3 attribute block. */
#define QSSH_ATTR_SIZE 0x00000001u
#define QSSH_ATTR_UIDGID 0x00000002u
#define QSSH_ATTR_PERMISSIONS 0x00000004u
#define QSSH_ATTR_ACMODTIME 0x00000008u

/* The file type bits of fxp_attrs.permissions. */
#define QSSH_MODE_TYPE_MASK 0xF000u
#define QSSH_MODE_DIRECTORY 0x4000u
#define QSSH_MODE_FILE 0x8000u
#define QSSH_MODE_LINK 0xA000u

typedef struct fxp_attrs {
  uint32_t flags;
  uint32_t padding0;
  uint64_t size;
  uint32_t uid;
  uint32_t gid;
  uint32_t permissions; /* POSIX mode: file type in 0xF000, 0x4000 a directory */
  uint32_t atime;       /* seconds since 1970-01-01 UTC */
  uint32_t mtime;
  uint32_t padding1;
} fxp_attrs;

typedef struct fxp_name {
  char* filename; /* UTF-8, no directory part */
  char* longname;
  fxp_attrs attrs;
} fxp_name;

/* One batch of a listing; valid only until the listing callback returns. */
typedef struct fxp_names {
  int32_t nnames;
  int32_t padding;
  fxp_name* names;
} fxp_names;

/* The configuration: QSSH_CONF_COUNT named values per context. */
#define QSSH_CONF_COUNT 84
typedef const char* TConfPAnsiCharArray[QSSH_CONF_COUNT];
typedef int32_t TConfIntArray[QSSH_CONF_COUNT];
typedef TConfPAnsiCharArray* PConfPAnsiCharArray;
typedef TConfIntArray* PConfIntArray;

/* Types of a configuration value. */
#define QSSH_CONF_TYPE_INT 0
#define QSSH_CONF_TYPE_STRING 1
#define QSSH_CONF_TYPE_BOOL 2 /* an int, 0 or 1 */
/* Sub-types: what a value is about. */
#define QSSH_CONF_SUB_PROXY 0
#define QSSH_CONF_SUB_NETWORK 1
#define QSSH_CONF_SUB_ALGORITHMS 2
#define QSSH_CONF_SUB_AUTH 3
#define QSSH_CONF_SUB_HOSTKEY 4
#define QSSH_CONF_SUB_SFTP 5
#define QSSH_CONF_SUB_LOCAL 6
#define QSSH_CONF_SUB_LOGGING 7

/* Values of "proxy_type". */
typedef enum TProxyTypes {
  PROXY_NONE = 0,
  PROXY_SOCKS4 = 1,
  PROXY_SOCKS5 = 2,
  PROXY_HTTP = 3,
  PROXY_TELNET = 4,
  PROXY_CMD = 5,
  PROXY_FUZZ = 6
} TProxyTypes;

/* Host key verification status handed to verify_host_key_callback. */
#define QSSH_HOSTKEY_KNOWN 0          /* known and matching */
#define QSSH_HOSTKEY_UNKNOWN 1        /* the host is not in the known-hosts file */
#define QSSH_HOSTKEY_CHANGED 2        /* the host is known with another key */
#define QSSH_HOSTKEY_OTHER_TYPE 3     /* the host is known with a key of another type */
#define QSSH_HOSTKEY_NO_KNOWN_HOSTS 4 /* there is no known-hosts file */
#define QSSH_HOSTKEY_UNREADABLE 5     /* the known-hosts file is there but cannot be read */

/* fxp_errtype: 0 and up are SFTP status codes (2 no such file, 3 permission
 * denied, 4 failure, ...); the library's own failures use these. */
#define QSSH_ERR_CONNECT 100          /* could not connect (refused, unreachable, time-out) */
#define QSSH_ERR_PROXY 101            /* the proxy refused or failed */
#define QSSH_ERR_SSH 102              /* SSH protocol or key exchange failure */
#define QSSH_ERR_HOSTKEY_REJECTED 103 /* the host key was not accepted */
#define QSSH_ERR_AUTH 104             /* authentication failed or was cancelled */
#define QSSH_ERR_SFTP_START 105       /* the SFTP subsystem could not be started */
#define QSSH_ERR_TIMEOUT 106          /* no answer in time */
#define QSSH_ERR_ABORTED 107          /* aborted by the caller */
#define QSSH_ERR_NOT_CONNECTED 108    /* no connection */
#define QSSH_ERR_LOCAL_FILE 109       /* a local file could not be read or written */
#define QSSH_ERR_CONNECTION_LOST 110  /* the connection broke */
#define QSSH_ERR_INVALID 111          /* invalid argument */
#define QSSH_ERR_PROTOCOL 112         /* the server broke the SFTP protocol */
/* QSSH_ERR_PROTOCOL: an answer that is malformed or larger than
 * sftp_max_packet, a read answered with more bytes than asked for (or none),
 * or a file whose reads end before the size it had when opened. Unlike a
 * lost connection, a new connection would meet the same server. */

/* Callback slots. */
typedef qssh_bool (*qssh_ls_callback_t)(fxp_names* names, TSshLibContext* ctx);
/* `name` is the keyboard-interactive name or the key file; the answer stays
 * the caller's; null gives up, as does setting *cancel. */
typedef const char* (*qssh_getpassword_callback_t)(const char* prompt, const char* name,
                                                   qssh_bool* cancel, TSshLibContext* ctx);
typedef void (*qssh_printmessage_callback_t)(const char* message, qssh_bool isstderr,
                                             TSshLibContext* ctx);
typedef qssh_bool (*qssh_progress_callback_t)(int64_t bytescopied, qssh_bool isupload,
                                              TSshLibContext* ctx);
typedef int32_t (*qssh_read_from_stream_t)(uint64_t offset, void* buffer, int32_t size,
                                           TSshLibContext* ctx);
typedef int32_t (*qssh_write_to_stream_t)(uint64_t offset, const void* data, int32_t length,
                                          TSshLibContext* ctx);
/* The buffer holds capacity + 1 bytes. */
typedef qssh_bool (*qssh_get_input_callback_t)(char* buffer, int32_t capacity, TSshLibContext* ctx);
typedef qssh_bool (*qssh_verify_host_key_callback_t)(const char* host, int32_t port,
                                                     const char* keytype, const char* keybase64,
                                                     const char* fingerprint, int32_t status,
                                                     qssh_bool* storehostkey, TSshLibContext* ctx);
/* Reports a fatal internal error; it does not return. */
typedef void (*qssh_raise_exception_callback_t)(const char* message, const char* sourcefile,
                                                int32_t line);
/* While a call waits for the network, the library leaves its critical section
 * and enters it again at least every 100 ms: it calls the leave callback, then
 * the enter callback, each only when set. A single-threaded caller can use the
 * leave callback to serve its window, or to set `aborted`. */
typedef void (*qssh_critical_section_callback_t)(TSshLibContext* ctx);

struct TSshLibContext {
  int32_t structsize;
  int32_t padding0;
  uint64_t Tag;
  qssh_ls_callback_t ls_callback;
  qssh_getpassword_callback_t getpassword_callback;
  qssh_printmessage_callback_t printmessage_callback;
  qssh_progress_callback_t progress_callback;
  qssh_read_from_stream_t read_from_stream;
  qssh_write_to_stream_t write_to_stream;
  qssh_get_input_callback_t get_input_callback;
  qssh_verify_host_key_callback_t verify_host_key_callback;
  qssh_raise_exception_callback_t raise_exception_callback;
  qssh_critical_section_callback_t entercriticalsection_callback;
  qssh_critical_section_callback_t leavecriticalsection_callback;
  int32_t mode;
  int32_t modeflags;
  char* batchfile;
  char* pwd;
  char* homedir;
  char* fxp_error_message;
  int32_t fxp_errtype;
  int32_t timeoutticks;           /* milliseconds */
  int32_t connectiontimeoutticks; /* milliseconds */
  qssh_bool aborted;
  uint8_t reserved[307]; /* the library's */
};

#define QSSH_CONTEXT_SIZE 464

/* The time-out, in milliseconds, of a context whose timeoutticks or
 * connectiontimeoutticks is 0. */
#define QSSH_DEFAULT_TIMEOUT_TICKS 60000

#ifdef __cplusplus
static_assert(sizeof(fxp_attrs) == 40, "fxp_attrs");
static_assert(offsetof(fxp_attrs, size) == 8 && offsetof(fxp_attrs, uid) == 16 &&
                  offsetof(fxp_attrs, gid) == 20 && offsetof(fxp_attrs, permissions) == 24 &&
                  offsetof(fxp_attrs, atime) == 28 && offsetof(fxp_attrs, mtime) == 32,
              "fxp_attrs layout");
static_assert(sizeof(fxp_name) == 56 && offsetof(fxp_name, longname) == 8 &&
                  offsetof(fxp_name, attrs) == 16,
              "fxp_name layout");
static_assert(sizeof(fxp_names) == 16 && offsetof(fxp_names, names) == 8, "fxp_names layout");
static_assert(sizeof(TSshLibContext) == QSSH_CONTEXT_SIZE, "TSshLibContext size");
static_assert(offsetof(TSshLibContext, Tag) == 8 && offsetof(TSshLibContext, ls_callback) == 16 &&
                  offsetof(TSshLibContext, getpassword_callback) == 24 &&
                  offsetof(TSshLibContext, printmessage_callback) == 32 &&
                  offsetof(TSshLibContext, progress_callback) == 40 &&
                  offsetof(TSshLibContext, read_from_stream) == 48 &&
                  offsetof(TSshLibContext, write_to_stream) == 56 &&
                  offsetof(TSshLibContext, get_input_callback) == 64 &&
                  offsetof(TSshLibContext, verify_host_key_callback) == 72 &&
                  offsetof(TSshLibContext, raise_exception_callback) == 80 &&
                  offsetof(TSshLibContext, entercriticalsection_callback) == 88 &&
                  offsetof(TSshLibContext, leavecriticalsection_callback) == 96,
              "TSshLibContext callback slots");
static_assert(offsetof(TSshLibContext, mode) == 104 && offsetof(TSshLibContext, modeflags) == 108 &&
                  offsetof(TSshLibContext, batchfile) == 112 &&
                  offsetof(TSshLibContext, pwd) == 120 &&
                  offsetof(TSshLibContext, homedir) == 128 &&
                  offsetof(TSshLibContext, fxp_error_message) == 136 &&
                  offsetof(TSshLibContext, fxp_errtype) == 144 &&
                  offsetof(TSshLibContext, timeoutticks) == 148 &&
                  offsetof(TSshLibContext, connectiontimeoutticks) == 152 &&
                  offsetof(TSshLibContext, aborted) == 156 &&
                  offsetof(TSshLibContext, reserved) == 157,
              "TSshLibContext fields");
#endif

/* Open flags of qssh_openfile (SFTP version 3 pflags). */
#define QSSH_OPEN_READ 0x01
#define QSSH_OPEN_WRITE 0x02
#define QSSH_OPEN_APPEND 0x04
#define QSSH_OPEN_CREATE 0x08
#define QSSH_OPEN_TRUNCATE 0x10
#define QSSH_OPEN_EXCLUSIVE 0x20

/* Move flags of qsftp_mvex. */
#define QSSH_MOVE_OVERWRITE 0x01 /* replace an existing target (posix-rename) */

/* The functions. Results: qsftp_connect and qssh_initcontext give 0 on
 * success; the other qsftp_ operations that answer an int give 1; getstat,
 * setstat and getconfigarrays answer true. */
QSSHLIB_API void qssh_conf_set_str(int32_t index, const char* value, TSshLibContext* ctx);
QSSHLIB_API void qssh_conf_set_int(int32_t index, int32_t value, TSshLibContext* ctx);
QSSHLIB_API const char* qssh_conf_get_str(int32_t index, TSshLibContext* ctx);
QSSHLIB_API int32_t qssh_conf_get_int(int32_t index, TSshLibContext* ctx);
QSSHLIB_API void qssh_xfer_cleanup(void* xfer, TSshLibContext* ctx);
QSSHLIB_API qssh_bool qssh_xfer_done(void* xfer, TSshLibContext* ctx);
QSSHLIB_API qssh_bool qssh_xfer_ensuredone(void* xfer, TSshLibContext* ctx);
QSSHLIB_API void qssh_xfer_upload_data(void* xfer, const void* data, int32_t length,
                                       uint64_t offset, TSshLibContext* ctx);
QSSHLIB_API qssh_bool qssh_xfer_upload_ready(void* xfer, TSshLibContext* ctx);
QSSHLIB_API void* qssh_xfer_upload_init(void* filehandle, uint64_t offset, TSshLibContext* ctx);
QSSHLIB_API int32_t qssh_closefile(void** filehandle, TSshLibContext* ctx);
QSSHLIB_API void* qssh_openfile(const char* path, int32_t flags, fxp_attrs* attrs,
                                TSshLibContext* ctx);
QSSHLIB_API qssh_bool qsftp_setstat(const char* path, fxp_attrs* attrs, TSshLibContext* ctx);
QSSHLIB_API qssh_bool qsftp_getstat(const char* path, fxp_attrs* attrs, TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_getfile(const char* remotepath, const char* localpath, qssh_bool append,
                                  TSshLibContext* ctx);
/* Goes on with a download into the stream (write_to_stream) at `offset`: the
 * caller holds the bytes before it already. Succeeds with 1, like
 * qsftp_getfile; an offset past the file's end fails. */
QSSHLIB_API int32_t qsftp_getfile_from(const char* remotepath, uint64_t offset,
                                       TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_putfile(const char* localpath, const char* remotepath, qssh_bool append,
                                  TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_mvex(const char* from, const char* to, int32_t flags,
                               TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_mv(const char* from, const char* to, TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_mkdir(const char* directory, TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_rmdir(const char* directory, TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_rm(const char* file, TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_ls(const char* directory, TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_cd(const char* directory, TSshLibContext* ctx);
QSSHLIB_API void qsftp_close(TSshLibContext* ctx);
QSSHLIB_API int32_t qsftp_connect(const char* host, const char* user, int32_t port,
                                  const char* password, TSshLibContext* ctx);
QSSHLIB_API void qssh_setkeyfile(const char* path, TSshLibContext* ctx);
QSSHLIB_API qssh_bool qssh_getconfigarrays(PConfIntArray* types, PConfIntArray* subtypes,
                                           PConfPAnsiCharArray* names, int32_t* count);
QSSHLIB_API void qsshgetversions(double* release, int32_t* build);
QSSHLIB_API void qsshfree(TSshLibContext* ctx);
QSSHLIB_API void qssh_setverbose(qssh_bool verbose);
QSSHLIB_API int32_t qssh_initcontext(qssh_bool verbose, TSshLibContext* ctx);
QSSHLIB_API int32_t qsshgetcontextsize(void);

#ifdef __cplusplus
}
#endif

#endif
