/*
 * Pellacor: a Modbus slave that serves memory it does not own.
 *
 * The application describes ranges of its own memory as data blocks (one slave
 * id, one point type, a range of point addresses). Masters on serial links (RTU
 * or ASCII framing, COM1 to COM9) and on Modbus/TCP read and write those points
 * in place. All state is process-wide: there is no per-caller context.
 *
 * Point addresses are the Modbus protocol address plus one, in 16 bits.
 * Every block element is one unsigned 16-bit word in host byte order (coils and
 * discrete inputs: nonzero = ON), except for wide-register requests, which use
 * 32-bit elements (see SetProtocolOptions).
 *
 * Threads. Pellacor starts one reader thread per open serial port and one
 * service thread for the Modbus/TCP server. The write callback and the traffic
 * callback run on the thread that handled the request:
 *   - the TCP service thread for Modbus/TCP;
 *   - the application's thread (through PellacorWindow timers) for RTU links
 *     opened with a window;
 *   - the port's reader thread for RTU links without a window, RTU links that
 *     end frames after 3.5 characters (SetPortOptions) and ASCII links.
 * The library takes no locks on the data-block table: a block is published
 * complete, and block memory is read and written through atomic 16-bit and
 * 32-bit accesses, so the application may store into it while masters read.
 * A request covering several points writes them one at a time; a read request
 * returns words that the application stored together with StoreDataBlockWords
 * either all old or all new (see there).
 */
#ifndef PELLACOR_H
#define PELLACOR_H

#include <stddef.h>
#include <stdint.h>

#if defined(PELLACOR_BUILDING)
#define PELLACOR_API __attribute__((visibility("default")))
#else
#define PELLACOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* The application's "window": where Pellacor posts messages and runs timers. */

/* Runs on the application's thread when a timer started with set_timer fires. */
typedef void (*PellacorTimerProc)(void* arg, uintptr_t timer_id);

/*
 * A small table of callbacks that stands for an application window. Pass a
 * pointer to it wherever a window is expected; NULL is valid where noted. The
 * struct and its context must stay valid until every link and every block that
 * refers to it is closed or removed.
 *
 * post:      queue (message, wparam, lparam) for the application's thread and
 *            return at once; nonzero when queued. Called from any Pellacor
 *            thread (TCP service thread for the bind-failure message, any
 *            request-handling thread for write notifications).
 * set_timer: (re)start the one-shot-or-periodic timer `timer_id` on the
 *            application's thread with period `ms`; when it fires, call
 *            proc(arg, timer_id) on that thread. Starting a running timer
 *            restarts it. Called from reader threads. Nonzero on success.
 * kill_timer: stop timer `timer_id` if it runs (no call of proc starts after
 *            kill_timer has returned on the application's thread; a call from
 *            another thread may race with one that is already being dispatched,
 *            which Pellacor tolerates). Called from reader threads.
 * Pellacor stops its RTU end-of-frame timer itself inside proc when it fires.
 */
typedef struct PellacorWindow {
    void* context;
    int (*post)(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam);
    int (*set_timer)(void* context, uintptr_t timer_id, uint32_t ms, PellacorTimerProc proc, void* arg);
    int (*kill_timer)(void* context, uintptr_t timer_id);
} PellacorWindow;

/* ------------------------------------------------------------------------ */
/* Types shared with the application.                                         */

enum PellacorPointType {
    PELLACOR_COIL_STATUS = 1,      /* read by 1, written by 5 and 15 */
    PELLACOR_INPUT_STATUS = 2,     /* read by 2 */
    PELLACOR_HOLDING_REGISTER = 3, /* read by 3, written by 6 and 16 */
    PELLACOR_INPUT_REGISTER = 4    /* read by 4 */
};

/* The handle of the Modbus/TCP server (SlaveStatus, ReadDebugData, CloseConnection). */
#define PELLACOR_TCP_HANDLE 8050
/* The message the application passes to OpenTCPConnection; posted with both
 * parameters 0 when the server cannot bind its port (on Linux also with the
 * other reasons below). */
#define PELLACOR_TCP_BIND_FAILED_MESSAGE 1025

/*
 * Serial settings of one port: 20 bytes, fixed little-endian layout (the
 * application stores the record as it is in its settings file).
 */
typedef struct PortSettings {
    uint32_t baudRate;     /* bits per second; also picks the RTU end-of-frame time */
    uint8_t dataBits;      /* 5 to 8, passed to the port as given */
    uint8_t parity;        /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
    uint8_t stopBits;      /* 0 one, 1 one and a half (Linux has no such setting:
                              two stop bits are used), 2 two */
    uint8_t spare1;        /* not read */
    uint32_t ctsFlow;      /* bit 0: hardware CTS flow control (CRTSCTS) */
    uint32_t dsrFlow;      /* bit 0: wait for DSR before sending */
    uint8_t rtsLeadDelay;  /* ms between raising RTS and the first byte */
    uint8_t rtsTailDelay;  /* ms between the last bit on the line and dropping RTS */
    uint8_t spare2[2];     /* not read */
} PortSettings;

#ifdef __cplusplus
static_assert(sizeof(PortSettings) == 20, "PortSettings is a 20-byte record");
#else
_Static_assert(sizeof(PortSettings) == 20, "PortSettings is a 20-byte record");
#endif

/* Called once per block a master's write reached: slave id of the request (0
 * for a broadcast), point type, point address, value (0..65535, 0/1 for
 * coils, the full 32-bit value for wide registers). The result is ignored. */
typedef int32_t (*PellacorWriteCallback)(int32_t slave_id, int32_t point_type, int32_t address, int32_t value);

/* Called after each chunk of traffic was recorded in a connection's ring:
 * connection handle, ring position where the chunk starts, chunk length. */
typedef int32_t (*PellacorTrafficCallback)(int32_t handle, int32_t position, int32_t length);

/* ------------------------------------------------------------------------ */
/* Data blocks.                                                               */

/* First free entry of the 250-entry table; returns its handle 1..250, 0 when
 * the table is full. `data` holds `count` elements and stays valid and unmoved
 * until RemoveDataBlock. */
PELLACOR_API int32_t DefineDataBlock(uint8_t slave_id, uint8_t point_type, uint16_t start_address,
                                     uint16_t count, void* data);
/* 1; 0 for a handle outside 1..250. The active flag of the entry stays.
 * On return no request reads or writes the block's memory any more (requests
 * still using it are waited for, briefly: a request holds a block only while
 * it reads or stores words), so the application may free it at once. Safe
 * from a write or traffic callback too: a request holds no block while it
 * calls out. */
PELLACOR_API int32_t RemoveDataBlock(int32_t handle);
/* Stores `active` in every entry of that slave id; returns 8000. */
PELLACOR_API int32_t ActivateSlaveId(uint8_t slave_id, int32_t active);
/* After masters wrote into block `handle`, post (message, 0, handle) to
 * `window` once per successful write request. 1; 0 for a bad handle. */
PELLACOR_API int32_t EnableDoWriteNotification(const PellacorWindow* window, int32_t handle, int32_t enable,
                                               uint32_t message);
/* Registers the write callback and turns the call-out on; NULL turns it off. 1. */
PELLACOR_API int32_t EnableCallback(PellacorWriteCallback callback);
/* Registers the traffic callback; NULL turns it off. 1. */
PELLACOR_API int32_t EnableBufferCallback(PellacorTrafficCallback callback);

/* ------------------------------------------------------------------------ */
/* Connections.                                                               */

/* Copies the good and bad frame counters (either pointer may be NULL) and
 * clears both when `reset` is nonzero. 0; 256 for an unknown handle. */
PELLACOR_API uint16_t SlaveStatus(int32_t handle, uint32_t* good_frames, uint32_t* bad_frames, int32_t reset);
/* Nonzero `options` turns on 32-bit registers at point addresses from 5001
 * for functions 3, 4 and 16 (serial links only). 1; 0 for an unknown handle. */
PELLACOR_API int32_t SetProtocolOptions(int32_t handle, uint32_t options);
/* Copies `count` entries of the connection's 1024-entry traffic ring from
 * `start` (wrapping). Entry: low byte = traffic byte, high byte 1 = received,
 * 0 = sent. Returns count; 0 for an unknown handle, a start outside 0..1023 or
 * a closed connection; a count of 0 or less is returned as given. */
PELLACOR_API int32_t ReadDebugData(int32_t handle, uint16_t* dest, int32_t start, int32_t count);
/* 0x0204. */
PELLACOR_API uint16_t DLL_Revision(void);

/* Opens COM`port` (1..9) with protocol 1 = RTU, anything else = ASCII (low 16
 * bits). With a window, RTU frame ends are timed by `timer_id` on the
 * application's thread; without one (NULL) the reader thread times them.
 * ASCII frames end at their line feed on the reader thread; each colon starts
 * a frame (bytes before the last colon ahead of the line feed are noise and
 * count as no frame), and a frame holding anything but hex digits between its
 * colon and its line end counts as bad and is not processed. `settings` is read
 * during the call only.
 * Returns the connection handle (never -1 or 8050), or -1: bad port number,
 * NULL settings, no such device or not a terminal, device in use (the port is
 * opened exclusively: TIOCEXCL and an advisory flock), settings refused (rate
 * 0, data bits outside 5..8, parity above 4, stop bits above 2), port already
 * open (the open link stays untouched).
 *
 * On Linux: the device is opened non-blocking in raw mode; any rate is set
 * through termios2. Parity mark and space use CMSPAR. CTS flow control is the
 * driver's CRTSCTS, which may also drop RTS while the driver's input buffer is
 * full. DSR flow control waits for DSR before each reply, within the 2000 ms
 * write bound (a device that cannot report DSR counts as DSR on). DTR is on
 * while the port is open; RTS is off except while a reply is sent. The
 * driver's queues are the kernel's own (4096 bytes of line input); read
 * time-outs do not apply since only bytes already waiting are read. A reply:
 * RTS on, lead delay, write within 2000 ms, wait for the last bit to leave,
 * tail delay, RTS off, discard received bytes (the echo of a two-wire line)
 * and any unsent output. Modem-line calls a device does not support
 * (pseudo-terminals) are ignored.
 * The window's set_timer and kill_timer are called from the reader thread and
 * must not wait for the application's thread. */
PELLACOR_API int32_t OpenConnection(const PellacorWindow* window, int32_t port, uint16_t protocol,
                                    uintptr_t timer_id, const PortSettings* settings);
/* 8050 closes the TCP server and returns 1 (also when closed). On Linux the
 * close is synchronous: when it returns, the listening socket is closed (a
 * master connecting later is refused, never accepted and then reset), every
 * client is let go and the service thread has ended, so neither the window nor
 * any block is used by it any more. Called from a write or traffic callback of
 * a Modbus/TCP request (on the service thread), it closes the listening socket
 * at once, withholds that request's reply and returns; the thread ends after
 * the callback and is joined by the next OpenTCPConnection or
 * CloseConnection(8050) from another thread, or when the library is unloaded.
 * A serial handle: returns 1 once the port's reader thread has ended and no
 * frame of the port is being handled any more (also on the application's
 * thread); 0 for a handle that names no open connection, including the handle
 * of an earlier opening of the port. Called from a write or traffic callback
 * for the port whose frame is being handled, it returns 0 and closes nothing.
 * Ports still open when the library is unloaded are closed then. */
PELLACOR_API int32_t CloseConnection(int32_t handle);
/* Starts the Modbus/TCP server on the service port: 8050, or -1 when open (or
 * when no service thread can be started). The server listens once its service
 * thread is up; if it cannot bind the port it calls window->post(context,
 * message, 0, 0) from that thread and counts as closed. Up to 32 clients; one
 * idle for more than 300,000 ms is dropped by the check run every 5000 ms.
 * On Linux the listen queue holds 64 connections (32 masters reconnecting at
 * once are all taken without a retried handshake), and any failure that ends
 * the server is posted the same way, with wparam naming it and lparam the
 * errno value (see PELLACOR_TCP_FAILED_*); the server then counts as closed
 * and nothing of it keeps running. */
PELLACOR_API int32_t OpenTCPConnection(const PellacorWindow* window, uint32_t message);
/* Port (low 16 bits) used the next time the server starts listening. 1. */
PELLACOR_API int32_t SetTCPServicePort(uint16_t port);
/* The socket library needs no start-up on Linux: both succeed and do nothing. */
PELLACOR_API int32_t InitializeWSock(void);
PELLACOR_API uint16_t UnInitializeWSock(void);
/* The TCP server's event procedure, run on its service thread: `server` is the
 * server's token, `message` 1025 close, 1026 listening socket event, 1124 + k
 * client slot k (lparam: the poll event bits), 0x0113 (timer) with wparam 1 for
 * the idle check. Exported for completeness; only the library's own event loop
 * calls it, and a call from any other thread is ignored (returns 0). */
PELLACOR_API intptr_t MBAPWndProc(void* server, uint32_t message, uintptr_t wparam, intptr_t lparam);

/* ------------------------------------------------------------------------ */
/* Linux additions.                                                           */

/* Names the device behind COM`port` (1..9) for later OpenConnection calls.
 * Default: COMn is /dev/ttyS(n-1). NULL or "" restores the default.
 * 1; 0 for a port outside 1..9 or a path longer than 255 bytes. */
PELLACOR_API int32_t SetPortDevice(int32_t port, const char* path);

/* Why the Modbus/TCP server ended on its own: wparam of its message. */
#define PELLACOR_TCP_FAILED_BIND 0   /* bind or listen refused (lparam 0) */
#define PELLACOR_TCP_FAILED_SOCKET 1 /* no socket could be had (socket()) */
#define PELLACOR_TCP_FAILED_EVENTS 2 /* the event loop or the idle-check timer could not be set up */
#define PELLACOR_TCP_FAILED_WAIT 3   /* waiting for events failed while serving */

/* Local address the Modbus/TCP server binds to from its next start: a numeric
 * IPv4 or IPv6 address ("127.0.0.1", "::1"; "::" is every interface, IPv4
 * masters included). NULL or "" restores the default, every IPv4 interface.
 * 1; 0 for text that is no numeric address (the setting stays). */
PELLACOR_API int32_t SetTCPBindAddress(const char* address);
/* Adds a network that masters may connect from, for servers started from now
 * on: "192.168.10.0/24", "10.0.0.7" (a single host), "fd00::/8". While the
 * list is empty (the default) every master is served; otherwise a connection
 * from an address in no listed network is closed as soon as it is accepted,
 * takes no client slot, and is counted (TCPRefusedConnections). NULL empties
 * the list. 1; 0 for text that is no network, including host bits set below
 * the prefix ("10.1.2.3/8"). */
PELLACOR_API int32_t AddTCPAllowedNetwork(const char* network);
/* Connections closed because the master's address is in no allowed network,
 * since the library was loaded or last reset; nonzero `reset` clears the
 * count after reading it. */
PELLACOR_API uint32_t TCPRefusedConnections(int32_t reset);
/* A refused master: its numeric address (an IPv4 master on a dual-stack
 * socket in its IPv4 form) and the connections refused from it since it was
 * last taken. An empty address counts the connections from addresses that
 * found the table full. */
typedef struct PellacorRefusedMaster {
    char address[48];
    uint32_t count;
} PellacorRefusedMaster;
/* Keeps at most this many refused addresses until they are taken; further
 * addresses are counted together under the empty address. */
#define PELLACOR_REFUSED_MASTERS_KEPT 16
/* Moves up to `capacity` of the refused masters noted since they were last
 * taken into `masters`, in the order they were first refused; the rest stay
 * for the next call. Any thread. Returns how many were written. */
PELLACOR_API int32_t TakeTCPRefusedMasters(PellacorRefusedMaster* masters, int32_t capacity);

/* What a link has served since it opened (the TCP server's counts go on
 * across its restarts): frames with a good check (the good frames of
 * SlaveStatus: requests, whichever slave they name on a serial line), frames
 * with a bad one, exception replies sent by code (index 1 to 11; other codes
 * count at index 0), and for the Modbus/TCP server (8050) the masters
 * connected now and TCPRefusedConnections. SlaveStatus's reset leaves the
 * exceptions alone. */
typedef struct PellacorLinkCounters {
    uint32_t requests;
    uint32_t badFrames;
    uint32_t exceptions[12];
    uint32_t masters;
    uint32_t refused;
} PellacorLinkCounters;
/* 1; 0 for a closed or unknown handle or a null record. */
PELLACOR_API int32_t LinkCounters(int32_t handle, PellacorLinkCounters* counters);

/* Posted to the window of a serial link whose port failed (its reader could
 * no longer wait for the device): wparam the port number 1..9, lparam the
 * link's handle. The link serves no more; the application closes the handle
 * with CloseConnection. A link opened without a window is not told. */
#define PELLACOR_SERIAL_LINK_FAILED_MESSAGE 1027

/* Options of a serial port for SetPortOptions. */
/* RTU frames end after 3.5 character times of silence (11 bits a character at
 * the port's baud rate; 1750 us above 19200 baud) instead of the fixed silence
 * chosen from the baud rate, and are also found by their length: a request
 * to a slave this library serves is handled as soon as its function code says
 * it is complete (8 bytes for functions 1 to 6 and 8, 9 plus the byte count
 * for 15 and 16), and other slaves' requests and replies are recognised the
 * same way and skipped (SkippedFrames). A buffer of several frames sent back
 * to back that fails its CRC as a whole is cut where a prefix's CRC holds.
 * The silence is measured on the port's reader thread with a monotonic clock
 * at nanosecond resolution, and the frames are handled there, with or without
 * a window. For RS-485 buses shared with other slaves. ASCII links ignore it. */
#define PELLACOR_PORT_END_AFTER_3_5_CHARACTERS 0x1u
/* The driver's own RS-485 direction control (TIOCSRS485): the kernel raises
 * RTS while it sends, with the settings' RTS lead and tail delays. A port
 * that refuses it keeps the library's RTS control, and its window is posted
 * PELLACOR_SERIAL_RS485_REFUSED_MESSAGE. Turned off again on close. */
#define PELLACOR_PORT_KERNEL_RS485 0x2u

/* Options (the bits above) of COM`port` (1..9) for later OpenConnection
 * calls; 0, the default, is the fixed silence and the library's RTS control.
 * 1; 0 for a port outside 1..9 or an unknown bit. */
PELLACOR_API int32_t SetPortOptions(int32_t port, uint32_t options);

/* Posted by OpenConnection to the link's window when the port refused the
 * kernel's RS-485 mode: wparam the port number 1..9, lparam the errno value.
 * The link is open and switches RTS itself. */
#define PELLACOR_SERIAL_RS485_REFUSED_MESSAGE 1028

/* RTU frames whose CRC held but that named a slave id the library does not
 * serve (so were not answered), since the link was opened or last reset;
 * nonzero `reset` clears the count after reading it. 0 for an unknown handle.
 * Frames dropped for a failed CRC are the bad frames of SlaveStatus. */
PELLACOR_API uint32_t SkippedFrames(int32_t handle, int32_t reset);

/* One word for StoreDataBlockWords: `target` lies in the memory of block
 * `handle` (the memory given to DefineDataBlock). */
typedef struct PellacorWordStore {
    int32_t handle;
    uint16_t* target;
    uint16_t value;
} PellacorWordStore;

/* Stores the words as one update: a read request (any transport, wide
 * registers included) that covers several of them returns them all old or
 * all new, never mixed, for instance both words of a 32-bit value. Each block
 * involved keeps an update sequence; a read request re-reads its range when
 * the sequence of a block it read from moved, and after a few tries reads it
 * with that block's updates held off for the duration of the read. The call
 * waits only for such a read or for a master's write into the same blocks;
 * it may be made from any thread, a write or traffic callback included.
 * A single word needs no update: any atomic 16-bit store of the application
 * is seen whole.
 * The words may lie in several blocks; a handle may appear several times. A
 * handle that was removed (or whose entry was reused) in the meantime only
 * delays readers of that entry: the words are still stored at `target`,
 * which must stay valid for the call.
 * 1; 0 (nothing stored) for `stores` NULL with a positive count, or a handle
 * outside 1..250. A count of 0 or less stores nothing and returns 1. */
PELLACOR_API int32_t StoreDataBlockWords(const PellacorWordStore* stores, int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* PELLACOR_H */
