/*
 * Ostrand: the OPC client service of Quorvane.
 *
 * Handles are 32-bit integers; -1 means failure or "none". Strings are narrow
 * and NUL-terminated; buffers belong to the caller and are never overrun (a
 * buffer of n bytes receives at most n - 1 characters and a NUL).
 *
 * Backends: the built-in simulation servers on the local machine (machine ""
 * or this host's name), and OPC UA servers (binary opc.tcp), named by their
 * endpoint URL "opc.tcp://host:port/path". An OPC UA connection is unsecured
 * and anonymous unless the server's line in the list file (described below)
 * asks for more: mode=Sign or SignAndEncrypt with the Basic256Sha256 policy,
 * a user name with its password file, and server certificates trusted
 * through the PKI folder ($XDG_CONFIG_HOME/ostrand/pki).
 * VARIANT coercion rules and every choice of the service are documented
 * below, next to the calls.
 */
#ifndef OSTRAND_H
#define OSTRAND_H

#include <stddef.h>
#include <stdint.h>

#if defined(OSTRAND_BUILDING)
#define OSTRAND_API __attribute__((visibility("default")))
#else
#define OSTRAND_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* VARIANT: the tagged value that carries OPC values, with the Automation    */
/* coercion rules.                                                            */

typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef int32_t HRESULT;
typedef char* BSTR; /* narrow, NUL-terminated, owned by the VARIANT */

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000
};

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

#define S_OK ((HRESULT)0)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000A)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_FAIL ((HRESULT)0x80004005)
#define E_ACCESSDENIED ((HRESULT)0x80070005)

/* Currency: a 64-bit integer scaled by 10,000. */
typedef struct CY {
    int64_t int64;
} CY;

/* One-dimensional array of VARIANTs (VT_ARRAY | element type). */
typedef struct SAFEARRAY {
    uint32_t count;
    struct tagVARIANT* elements;
} SAFEARRAY;

typedef struct tagVARIANT {
    VARTYPE vt;
    uint16_t reserved1, reserved2, reserved3;
    union {
        int8_t cVal;
        uint8_t bVal;
        int16_t iVal;
        uint16_t uiVal;
        int32_t lVal;
        uint32_t ulVal;
        int64_t llVal;
        uint64_t ullVal;
        int32_t intVal;
        uint32_t uintVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        CY cyVal;
        double date; /* days since 1899-12-30 */
        BSTR bstrVal;
        SAFEARRAY* parray;
    };
} VARIANT;

/* Flag of VariantChangeType: VT_BOOL becomes "True"/"False" instead of "-1"/"0". */
#define VARIANT_ALPHABOOL ((uint16_t)0x02)

/*
 * Coercion rules of VariantChangeType (the Automation rules, and where those
 * leave a choice, the choice made here):
 * - Any type converts to itself (a deep copy) and to VT_EMPTY.
 * - VT_EMPTY is 0, FALSE or "" in every other type; to VT_NULL it gives VT_NULL.
 * - VT_NULL converts to nothing else: DISP_E_TYPEMISMATCH. VT_ERROR and arrays
 *   convert only to themselves: DISP_E_TYPEMISMATCH.
 * - Numbers to integer types: reals are rounded half to even (2.5 -> 2,
 *   3.5 -> 4, -2.5 -> -2); a result outside the target's range, an infinity
 *   or a NaN fails with DISP_E_OVERFLOW. To VT_R4: outside the single range
 *   fails with DISP_E_OVERFLOW (infinities and NaN pass).
 * - VT_BOOL is -1 (VARIANT_TRUE) or 0 as a number, so TRUE to an unsigned
 *   type fails with DISP_E_OVERFLOW. Any nonzero number (NaN too) is
 *   VARIANT_TRUE.
 * - VT_DATE is days since 1899-12-30 and converts as a real; as a target it
 *   accepts 0100-01-01 to 9999-12-31 (-657434 <= d < 2958466), else
 *   DISP_E_OVERFLOW. As text it is the day number, not a calendar date.
 * - VT_CY is a 64-bit integer of ten-thousandths; to it, values are rounded
 *   half to even at the fourth decimal.
 * - VT_BSTR to a number: blanks around the text are ignored; the number is an
 *   optional sign, decimal digits with an optional '.', and an optional
 *   exponent ("1.5e3"). The decimal point is '.' whatever the locale; no
 *   thousands separators, currency signs or hex. "True"/"False" (any case)
 *   are also accepted for VT_BOOL. Anything else: DISP_E_TYPEMISMATCH; a number
 *   beyond the double range: DISP_E_OVERFLOW. Integral text is converted
 *   exactly (all 64-bit values).
 * - To VT_BSTR: a decimal text, locale independent: integers exactly, VT_R4
 *   with 7 and VT_R8/VT_DATE with 15 significant digits (shortest form,
 *   exponent when needed: "1e+20"), VT_CY with up to 4 decimals, VT_BOOL as
 *   "-1"/"0" (or "True"/"False" with VARIANT_ALPHABOOL).
 * - An invalid type tag in source or target: DISP_E_BADVARTYPE.
 * Other flags are ignored. On failure the destination is left untouched.
 *
 * BSTRs and arrays are allocated with malloc: build them with SysAllocString
 * and SafeArrayCreateVector, and let VariantClear free them.
 */
OSTRAND_API void VariantInit(VARIANT* v);
/* Frees what the value owns and leaves VT_EMPTY. */
OSTRAND_API HRESULT VariantClear(VARIANT* v);
/* Deep copy; the destination is cleared first. */
OSTRAND_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
/* Coerces src into dest (dest may equal src); rules above. */
OSTRAND_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt);

/* Allocates a BSTR copy of `text`; free with SysFreeString (VariantClear does). */
OSTRAND_API BSTR SysAllocString(const char* text);
OSTRAND_API void SysFreeString(BSTR text);

/* An array of `count` VARIANTs, each VariantInit'ed with tag `vt`; the caller
 * sets the VARIANT's tag to VT_ARRAY | vt. Null when out of memory. */
OSTRAND_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, uint32_t count);
/* Clears every element and frees the array. */
OSTRAND_API void SafeArrayDestroy(SAFEARRAY* array);

/* ------------------------------------------------------------------------ */
/* The service.                                                               */

/* UTC file time: 100 ns units since 1601-01-01. */
typedef struct FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
} FILETIME;

typedef struct ServerStatus {
    FILETIME startTime;
    FILETIME currentTime;
    FILETIME lastUpdateTime;
    int32_t serverState; /* 1 running, 2 failed, 3 not configured, 4 suspended, 5 test */
    int32_t groupCount;
    int32_t bandWidth;
    uint16_t majorVersion;
    uint16_t minorVersion;
    uint16_t buildNumber;
    uint16_t reserved;
    char* vendorInfo; /* set by the caller to its own buffer */
} ServerStatus;

/* Server handle, group handle, item handle, value (owned by Ostrand for the
 * call), time stamp low and high halves, quality (192 good, 0 bad). */
typedef int32_t (*DataCallback)(int32_t server, int32_t group, int32_t item, VARIANT* value, uint32_t time_low,
                                uint32_t time_high, int32_t quality);

/*
 * How the service behaves.
 *
 * Start-up: OstrandInitialize starts the service thread (0 on success,
 * negative when it cannot start); calls nest, and the matching number of
 * OstrandUninitialize calls disconnects every server and stops the thread.
 * Before OstrandInitialize, ConnectServer fails with -1; the VARIANT
 * functions, GetServerCount and GetServerName need no start-up.
 * OstrandUninitialize called from a DataCallback is ignored.
 *
 * Servers: the local machine ("", "localhost", "127.0.0.1", "." or this
 * host's name, any case) offers "Demo.Server.1" (hierarchical) and
 * "Demo.FlatServer.1" (flat). Listing modes: 1 lists the servers that the
 * service can reach on the machine, 0 lists the servers registered there; for
 * the built-in servers both give the same two names, a remote machine gives 0
 * in both modes, and any other mode gives 0. GetServerName reads the last
 * listing of this process. ConnectServer matches the name in any case and
 * returns a new handle for each call (several connections may be open), -1 for
 * anything else. Each connection is its own simulation: its clock starts at
 * connection and its writable items start at their initial values.
 *
 * OPC UA servers: after the simulation names (local machine only), mode 1
 * lists the endpoint URLs that FindServers answers on the machine's discovery
 * endpoint (port 4840, or the port given as "host:port" or a URL; a machine
 * given with a port lists only that endpoint, without the simulation names),
 * then the entries of the list file for that machine; mode 0 lists only the
 * list-file entries. The list file is $XDG_CONFIG_HOME/ostrand/servers.conf
 * (~/.config/ostrand/servers.conf when unset), then /etc/ostrand/servers.conf:
 * one endpoint URL per line, optionally followed by blank-separated key=value
 * options (unknown keys are ignored), '#' starts a comment. Discovery is
 * bounded: about 2 s to connect and 3 s for the answer. ConnectServer takes a
 * listed name, a URL typed directly (it overrides the machine), or a server's
 * ApplicationUri or ApplicationName with the machine to ask; it opens a
 * session (at most 15 s) and answers -1 when that fails (a closed port fails
 * at once).
 *
 * Waiting for a server: with flags OSTRAND_CONNECT_KEEP_TRYING, ConnectServer
 * never waits on the network for an OPC UA server: it answers a handle at
 * once, and a thread of the service tries to connect in the background with
 * the reconnect schedule (0.5 s doubling up to 10 s, +/- 20 %; at most 2 s
 * after an attempt that failed fast) until it succeeds or the handle is
 * disconnected. Groups and items may be added meanwhile; they are created on
 * the server once it answers (DataCallback as usual). Until then writes fail,
 * browsing finds nothing, and GetServerStatus answers state 2 and "waiting
 * for <server>: <reason>". Without the flag a failed connect answers -1.
 *
 * Results: operations without a handle result answer 1 for success and 0 for
 * failure (unknown handles, null pointers). Text into caller buffers: at most
 * size - 1 characters and a NUL, never more; GetServerName, BrowseName and
 * BrowseItemId answer 0 when the text had to be cut (the cut text is still
 * there) or the index is out of range (GetServerName then leaves "").
 *
 * Groups: AddGroup revises an update rate below 100 ms to 100 ms and a
 * deadband outside 0..100 (or NaN) to the nearest bound (NaN to 0); -1 for an
 * unknown server or null pointers. Group names need not be unique.
 *
 * Items: AddItem answers -1 for an item id the server does not know (exact
 * match). On an OPC UA server an item id is NodeId text ("ns=1;s=Speed",
 * "i=2258", "nsu=<namespace URI>;s=Speed") or the dotted browse names under
 * Objects ("Channel1.Device1.Speed"); AddItem checks only the syntax (-1 for
 * malformed NodeId text) and never waits on the network, so an id the server
 * does not know shows up as one DataCallback with VT_EMPTY and quality 0, not
 * as -1. An added item reports its value once (within about 20 ms when the
 * server has a DataCallback), then at the group's rate only when its value or
 * quality changed. For items with a range (Level: 0..100, Pressure: 1..5) a
 * change within deadband/100 * range of the last reported value is not
 * reported. Values are sampled, so a change that reverts within one period is
 * not seen. Nothing is sampled for a connection without a DataCallback.
 *
 * DataCallback runs on the service thread, one call per changed item, with a
 * UTC file time and quality 192 (0 for a bad item; an OPC UA status of
 * severity Uncertain gives 64). Should changes of an item come faster than
 * the callback takes them, only the latest is kept. The callback may call any
 * operation except OstrandUninitialize.
 *
 * Removal: RemoveGroup, RemoveItem and DisconnectServer return only when no
 * callback for what they remove is running, and none starts afterwards. From
 * inside a callback they return at once (the running callback is the caller).
 * They wait for a running callback to finish, so never call them while
 * holding a lock that the DataCallback takes: that would deadlock.
 *
 * WriteItem: only the Setpoints items (and the flat server's Setpoint items)
 * are writable; they keep what is written. The value is coerced to the item's
 * type with VariantChangeType; the caller keeps and clears its VARIANT.
 * Mode 0 (synchronous) answers S_OK, or a negative HRESULT: E_INVALIDARG for
 * unknown handles, a null value or another mode, E_ACCESSDENIED for read-only
 * items, the coercion's failure. Mode 1 (asynchronous) completes at once and
 * answers a nonzero transaction id, or 0 on any failure.
 * On an OPC UA server the item's data type is read once and the value coerced
 * to it before the Write; mode 0 waits at most about 7 s: S_OK, or
 * DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW, E_ACCESSDENIED (not writable),
 * E_INVALIDARG (unknown node), E_FAIL (time-out, connection down, other
 * refusals). Mode 1 answers an id once the Write is sent; the server's answer
 * is not reported. A write while the connection is down fails at once and is
 * never replayed later.
 *
 * GetServerStatus: start time (connection), current time, last update (the
 * last time a change was delivered on this connection, else the start),
 * state 1, the connection's group count, band width = percent of the service
 * thread's time spent working over the last second, version 1.0 build 7, and
 * the vendor text into status->vendorInfo (vendor_size bytes; left alone when
 * the pointer is null). 0 for an unknown server or a null record.
 * On an OPC UA server: the server's start and current time, its state (UA
 * Running -> 1), version and build from SoftwareVersion and BuildNumber, and
 * "Manufacturer Product Version" as the vendor text; while the server cannot
 * be reached the call still answers 1, with state 2 and "connection lost
 * HH:MM:SS" (UTC).
 *
 * Browsing (per connection): BrowseMoveTo("") is the root, otherwise the
 * dot-joined branch names from the root (absolute); 0 and no move for a path
 * that is no branch (on a flat server every path but ""). BrowseCount type 1
 * lists the branch names below the position, 2 the leaf names at it, 3 the full
 * item ids of every leaf below it; names stay until the next BrowseCount on
 * that connection. BrowseItemId(leaf) gives the full id of a leaf at the
 * position; a full item id is accepted too. QueryOrganization answers 1
 * (hierarchical) or 2 (flat).
 * On an OPC UA server the root is the Objects folder without the server's own
 * namespace-0 objects; branches are Objects, leaves Variables (properties are
 * left out); BrowseName gives the BrowseName's text and BrowseItemId the
 * NodeId text; type 3 walks at most 10 levels, 10,000 ids and 30 s.
 * QueryOrganization answers 1.
 */
/*
 * Health of a connection, for monitoring (any thread, never waits on the
 * network): `up` 1 while its session is up (always for the simulation),
 * `reconnects` the sessions that came back after a loss, `secondsDown` how
 * long the current loss lasts (0 while up), `changesDelivered` the
 * DataCallback calls made for it, `writesFailed` the WriteItem calls it
 * refused or that failed. GetServerHealth answers 0 for an unknown server or
 * a null record.
 */
typedef struct ServerHealth {
    int32_t up;
    uint32_t reconnects;
    uint32_t secondsDown;
    uint32_t reserved;
    uint64_t changesDelivered;
    uint64_t writesFailed;
} ServerHealth;
/* What happens to OPC UA connections, for the program's log and state
 * (see SetEventCallback). Texts are valid during the call only. */
enum {
    OSTRAND_EVENT_CONNECTED = 1,    /* a session is up: url, security_mode, security_policy, user,
                                       new_session; outage_ms >= 0 when it ends an outage, else -1 */
    OSTRAND_EVENT_WAITING = 2,      /* an attempt to reach a server not connected yet failed: url
                                       (may be ""), status, reason */
    OSTRAND_EVENT_LOST = 3,         /* a connected server was lost: url, status, reason */
    OSTRAND_EVENT_ITEM_FAILED = 4,  /* an item the server cannot resolve: group, item, item_id,
                                       status, reason */
    OSTRAND_EVENT_GROUP_REVISED = 5 /* the server revised a group's rate: group, requested_rate,
                                       revised_rate; or its deadband, once per group and outcome:
                                       group, deadband (percent), deadband_result */
};
/* OstrandEvent.deadband_result. */
#define OSTRAND_DEADBAND_KEPT 0     /* no deadband news: a rate revision */
#define OSTRAND_DEADBAND_ABSOLUTE 1 /* the percent deadband was refused; items with an EU range took it
                                       as an absolute one over that range */
#define OSTRAND_DEADBAND_REFUSED 2  /* items are served without the deadband: every change reported */
typedef struct OstrandEvent {
    int32_t kind;
    int32_t server, group, item;
    uint32_t status;             /* OPC UA status code, 0 when none */
    const char* reason;          /* the status code's name, or the operator's explanation */
    const char* url;
    const char* security_mode;   /* "None", "Sign", "SignAndEncrypt" */
    const char* security_policy; /* the policy URI's last part: "None", "Basic256Sha256" */
    const char* user;            /* user name, "" for anonymous; never a secret */
    int32_t new_session;         /* 1: created, 0: reactivated */
    int64_t outage_ms;
    const char* item_id;
    int32_t requested_rate, revised_rate;
    float deadband;
    int32_t deadband_result;
} OstrandEvent;
typedef void (*EventCallback)(const OstrandEvent* event);

OSTRAND_API int32_t OstrandInitialize(void);
OSTRAND_API void OstrandUninitialize(void);

/* ConnectServer flag: see "Waiting for a server" above. */
#define OSTRAND_CONNECT_KEEP_TRYING 1
OSTRAND_API int32_t ConnectServer(const char* machine, const char* server, int32_t flags);
/* Null stops the calls. The callback runs on a thread of the service, one
 * event at a time; it must not call back into this library. */
OSTRAND_API void SetEventCallback(EventCallback callback);
OSTRAND_API int32_t EnableDataCallback(int32_t server, DataCallback callback);
OSTRAND_API int32_t DisconnectServer(int32_t server);
OSTRAND_API int32_t GetServerCount(int32_t mode, const char* machine);
OSTRAND_API int32_t GetServerName(int32_t index, char* buffer, int32_t size);
OSTRAND_API int32_t GetServerStatus(int32_t server, ServerStatus* status, int32_t vendor_size);
OSTRAND_API int32_t AddGroup(int32_t server, const char* name, int32_t* update_rate, float* deadband);
OSTRAND_API int32_t RemoveGroup(int32_t server, int32_t group);
OSTRAND_API int32_t AddItem(int32_t server, int32_t group, const char* item_id);
OSTRAND_API int32_t RemoveItem(int32_t server, int32_t group, int32_t item);
OSTRAND_API int32_t WriteItem(int32_t server, int32_t group, int32_t item, VARIANT* value, int32_t mode);
OSTRAND_API int32_t GetServerHealth(int32_t server, ServerHealth* health);
/* What an OPC UA server said of an added item once the item was looked up
 * (after its first DataCallback): the name of its data type's built-in type
 * ("Double", "Int32", "String"; "[]" appended for arrays) into `type`, and
 * `access` bit 1 readable, bit 2 writable (for this session's user). 1 when
 * known; 0 while not known yet, for an item the server does not know, for
 * unknown handles, and on the simulation servers. Never waits. */
OSTRAND_API int32_t GetItemProperties(int32_t server, int32_t group, int32_t item, char* type, int32_t size,
                                      int32_t* access);
OSTRAND_API int32_t BrowseMoveTo(int32_t server, const char* path);
OSTRAND_API int32_t BrowseCount(int32_t server, int32_t type);
OSTRAND_API int32_t BrowseName(int32_t server, int32_t index, char* buffer, int32_t size);
OSTRAND_API int32_t BrowseItemId(int32_t server, const char* leaf, char* buffer, int32_t size);
OSTRAND_API int32_t QueryOrganization(int32_t server, uint16_t* organization);

/*
 * The status behind the calling thread's last answer, by its symbolic name:
 * inside a DataCallback, the status of the value being delivered (an OPC UA
 * status such as "Good", "UncertainLastUsableValue" or "BadNodeIdUnknown";
 * "BadNoCommunication" for a value kept while the connection is lost; "" for
 * the simulation, whose quality says all); after a ConnectServer that
 * answered -1, why the session failed ("BadTimeout", "BadSecurityChecksFailed"
 * ...; "" when no server answered at all); after a WriteItem that failed, the
 * server's status for the write, else the HRESULT's symbol ("E_ACCESSDENIED").
 * Successful connects and writes leave "". Text rules as for GetServerName.
 */
OSTRAND_API int32_t GetLastStatusName(char* buffer, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* OSTRAND_H */
