/*
 * spweth: host-side SDK for a SpaceWire-Ethernet bridge.
 *
 * An application exchanges SpaceWire traffic with the bridge over raw
 * Ethernet II frames of EtherType 0x06AB, sent and captured with libpcap.
 * A socket of this library is a libpcap capture handle (pcap_t *).
 *
 * Usable from C (C99 or later) and C++.
 */
#ifndef SPWETH_H
#define SPWETH_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(SPWETH_BUILDING)
#define SPWETH_API __declspec(dllexport)
#else
#define SPWETH_API __declspec(dllimport)
#endif
#else
#define SPWETH_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A socket is the libpcap capture handle; struct pcap is libpcap's pcap_t. */
struct pcap;

/* ------------------------------------------------------------------------ */
/* Shared types                                                             */
/* ------------------------------------------------------------------------ */

#pragma pack(push, 1)

/* An Ethernet address, six bytes in transmission order. */
typedef struct mac_address {
    unsigned char bytes[6];
} mac_address;

/* Counters and state of one SpaceWire port, 37 bytes, little-endian. */
typedef struct spw_eth_channel_state {
    uint64_t tx_bytes;
    uint64_t rx_bytes;
    uint32_t tx_packets;
    uint32_t rx_packets;     /* whatever their end marker */
    uint32_t rx_packets_eep; /* ended with EEP */
    uint32_t tx_bytes_per_sec;
    uint32_t rx_bytes_per_sec;
    uint8_t link_state; /* 0 ERROR_RESET .. 5 RUN */
} spw_eth_channel_state;

/* The bridge's 88-byte status record: the payload of a status frame. */
typedef struct spw_eth_state {
    uint32_t time;
    spw_eth_channel_state spw1;
    spw_eth_channel_state spw2;
    uint8_t speed;       /* speed code, 0x80 = bridge default */
    uint8_t reserved[6]; /* not interpreted */
    uint16_t switch_state_word; /* when non-zero, its high byte is the switch state */
    uint8_t switch_state;       /* low nibble: data mode, high nibble: control-code mode */
} spw_eth_state;

/* The 27-byte configuration body, marked "GE_SPW". */
typedef struct spw_eth_conf_header_2 {
    unsigned char GE_SPW[6]; /* marker, no terminating zero */
    unsigned char edit0;
    unsigned char edit1;
    unsigned char new_src_addr[6];  /* the bridge's own new address */
    unsigned char new_dest_addr[6]; /* the address the bridge sends to */
    unsigned char Spw_Speed;
    unsigned char filtr;
    unsigned char switch_mode;
    unsigned char stat_freq;
    unsigned char data_filtr;
    unsigned char data_mask;
    unsigned char receive_timer;
} spw_eth_conf_header_2;

#pragma pack(pop)

#ifdef __cplusplus
#define SPWETH_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define SPWETH_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

SPWETH_STATIC_ASSERT(sizeof(mac_address) == 6, "mac_address is 6 bytes");
SPWETH_STATIC_ASSERT(sizeof(spw_eth_channel_state) == 37, "channel state is 37 bytes");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_channel_state, rx_bytes) == 8, "rx_bytes at 8");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_channel_state, tx_packets) == 16, "tx_packets at 16");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_channel_state, rx_packets_eep) == 24, "rx_packets_eep at 24");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_channel_state, rx_bytes_per_sec) == 32, "rx rate at 32");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_channel_state, link_state) == 36, "link_state at 36");
SPWETH_STATIC_ASSERT(sizeof(spw_eth_state) == 88, "status record is 88 bytes");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_state, spw1) == 4, "spw1 at 4");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_state, spw2) == 41, "spw2 at 41");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_state, speed) == 78, "speed at 78");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_state, switch_state_word) == 85, "switch word at 85");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_state, switch_state) == 87, "switch state at 87");
SPWETH_STATIC_ASSERT(sizeof(spw_eth_conf_header_2) == 27, "configuration body is 27 bytes");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_conf_header_2, edit0) == 6, "edit0 at 6");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_conf_header_2, new_src_addr) == 8, "new_src_addr at 8");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_conf_header_2, new_dest_addr) == 14, "new_dest_addr at 14");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_conf_header_2, Spw_Speed) == 20, "Spw_Speed at 20");
SPWETH_STATIC_ASSERT(offsetof(spw_eth_conf_header_2, receive_timer) == 26, "receive_timer at 26");

/*
 * An event handler receives a heap block (malloc) that it owns and must
 * release with free, its size, and the receive call's address record.
 * Handlers run on the receiving thread, inside the receive call. In
 * thread-safe mode that thread holds the socket's reader lock meanwhile; a
 * handler may send on any socket, receive again on the same socket (the lock
 * is taken again, not waited for) and clear the wait flag. It must not wait
 * for another thread that is itself waiting to receive on the socket.
 */
typedef void (*event_handler)(unsigned char *data, int size, unsigned char *mac);

/* ------------------------------------------------------------------------ */
/* Settings and state getters                                               */
/* ------------------------------------------------------------------------ */

SPWETH_API int get_wait_receive_status(void);
SPWETH_API int set_wait_receive_active(int active);
SPWETH_API int set_send_crediting(int on);
SPWETH_API int set_send_credit_limit(int limit);
SPWETH_API int set_send_credit_wait(int level);
SPWETH_API int set_recv_skip_out_frames(int on);
SPWETH_API int get_packet_has_comm_byte(void);
SPWETH_API int get_packet_has_recv_timer(void);
SPWETH_API int get_bridge_credits(void);
SPWETH_API unsigned char *get_current_source_mac_address(void);
SPWETH_API unsigned char *get_current_source_mac_adress(void);
SPWETH_API int set_source_mac_address(const unsigned char *mac, int length);
SPWETH_API int set_source_mac_adress(const unsigned char *mac, int length);
SPWETH_API unsigned char *get_current_dest_mac_address(void);
SPWETH_API unsigned char *get_current_dest_mac_adress(void);
SPWETH_API int set_dest_mac_address(const unsigned char *mac, int length);
SPWETH_API int set_dest_mac_adress(const unsigned char *mac, int length);

/* ------------------------------------------------------------------------ */
/* Adapters and sockets                                                     */
/* Results carry the socket (or list entry) on success, -1..-8 on failure.  */
/* ------------------------------------------------------------------------ */

SPWETH_API intptr_t Create_List_Devices(void);
SPWETH_API intptr_t SpW_Socket_Init(int interface_number);
SPWETH_API intptr_t SpW_Socket_Init_Dialog(void);
SPWETH_API int Get_Number_Chosen_Network_Device(void);
SPWETH_API int get_number_chosen_network_device(void);
SPWETH_API int SpW_Socket_Close(struct pcap *socket);
SPWETH_API intptr_t SpW_Socket_Reset(struct pcap *socket);

/*
 * The library keeps the set of sockets it has open. Every call that takes a
 * socket refuses one it did not open or has closed (-1, or the call family's
 * failure value) and touches nothing: a second SpW_Socket_Close returns -1.
 * Null, or a negative result of SpW_Socket_Init passed on unchecked, counts
 * as no socket, as before (SpW_Socket_Close returns 0 for it).
 */

/*
 * Sockets of their own. A socket follows the process-wide settings of the
 * classic setters (set_dest_mac_address, set_source_mac_address, the three
 * event handlers) until it is given its own value; with one socket and none
 * of the calls below, everything behaves as the classic calls say.
 * Process-wide: the settings, the wait flag, the packet flags, the classic
 * addresses, handlers, frame counters and credit count, and the RMAP
 * transaction identifiers. Per socket: its read buffer, locks, counters, the
 * time of what it last returned, its RMAP transactions in flight, and (once
 * given) its own addresses, link and handlers.
 *
 * SpW_Socket_Init_By_Name opens the adapter whose pcap name is adapter_name,
 * with the results and messages of SpW_Socket_Init (-3 when there is no such
 * adapter). SpW_Socket_Reset reopens the adapter that socket was opened on.
 */
SPWETH_API intptr_t SpW_Socket_Init_By_Name(const char *adapter_name);

/*
 * Per-socket addresses (six bytes each). A socket with a bridge address of
 * its own is on its own link: that adapter and bridge address have their own
 * two frame counters and their own credit count, shared by every socket on
 * the same adapter with the same bridge address, so that every bridge sees
 * an unbroken numbering. Closing a socket resets its own link's counters
 * only. Sockets without one share the process-wide counters and credits.
 * SpW_Socket_Use_Adapter_Address takes the adapter's own hardware address as
 * the source (-1 where it has none). The getters copy the address in use.
 * All return 0, or -1 for an unknown socket or a null address.
 */
SPWETH_API int SpW_Socket_Set_Bridge_Address(struct pcap *socket, const unsigned char address[6]);
SPWETH_API int SpW_Socket_Set_Source_Address(struct pcap *socket, const unsigned char address[6]);
SPWETH_API int SpW_Socket_Use_Adapter_Address(struct pcap *socket);
SPWETH_API int SpW_Socket_Get_Bridge_Address(struct pcap *socket, unsigned char address[6]);
SPWETH_API int SpW_Socket_Get_Source_Address(struct pcap *socket, unsigned char address[6]);
/* The credit count of the socket's bridge as last reported, or -1 for an unknown socket. */
SPWETH_API int SpW_Socket_Get_Bridge_Credits(struct pcap *socket);

/*
 * Handlers of a socket's own, with a context pointer. The data is lent for
 * the call (it is not to be freed). A socket's own handler takes that
 * socket's frames of its kind before the classic handler does; null removes
 * it. Closing the socket removes its own handlers only. Returns 0, or -1 for
 * an unknown socket or kind.
 */
#define SPWETH_HANDLER_CCODE 1
#define SPWETH_HANDLER_ERROR 2
#define SPWETH_HANDLER_STATUS 3
typedef void (*spweth_socket_handler)(struct pcap *socket, const unsigned char *data, int size,
                                      void *context);
SPWETH_API int SpW_Socket_Set_Handler(struct pcap *socket, int kind, spweth_socket_handler handler,
                                      void *context);

/* Per-socket counters; the record may grow at its end (reserved is 0). */
typedef struct spweth_socket_counters {
    unsigned long long frames_received;      /* bridge frames taken from the adapter */
    unsigned long long packets_received;     /* packets returned by the packet receives */
    unsigned long long packets_cut;          /* of those or abandoned: frames were lost */
    unsigned long long fragments_discarded;  /* middle and end fragments with no start */
    unsigned long long read_buffer_growths;  /* doublings of the read buffer */
    unsigned long long read_buffer_overflows; /* set-aside frames lost past the limit */
    unsigned long long rmap_replies_dropped; /* RMAP replies that matched no transaction */
    unsigned long long reserved[9];
} spweth_socket_counters;

/*
 * Copies min(size, sizeof *out) bytes of the socket's counters to out.
 * Returns 0, or -1 for an unknown socket, a null out or a negative size.
 * Closing the socket discards them.
 */
SPWETH_API int SpW_Socket_Get_Counters(struct pcap *socket, spweth_socket_counters *out, int size);

/*
 * The capture time (the adapter's time stamp, in nanoseconds since the epoch)
 * of the last frame of the packet or frame that the last receive on this
 * socket returned, into *ns. Where the system stamps frames in microseconds
 * only, the last three digits are 0. Returns 0, or -1 for an unknown socket or
 * a null ns; *ns is 0 until a receive has returned something.
 */
SPWETH_API int SpW_Socket_Get_Last_Time(struct pcap *socket, long long *ns);

/* ------------------------------------------------------------------------ */
/* Read buffers                                                             */
/* ------------------------------------------------------------------------ */

SPWETH_API int set_recv_buffering(int recv_buffering);
SPWETH_API void set_recv_buffer_size(int size);

/*
 * How far a read buffer may grow while a send waits for credits: a buffer
 * that has no room for a frame to set aside doubles (from
 * set_recv_buffer_size's size) up to this many bytes. Default 64 MiB
 * (67108864); never below the buffer size. Returns the value stored.
 * Frames that do not fit even then are lost, and the packets they belong to
 * are returned cut (ended by EEP; see Reception).
 */
SPWETH_API int set_recv_buffer_limit(int bytes);
SPWETH_API int get_recv_buffer_limit(void);

/*
 * Thread-safe mode (off by default: no lock anywhere). With safe_mode > 0, one
 * thread may receive on a socket while others send on it:
 * - one reader per socket at a time: receives, state queries and credit waits
 *   take the socket's reader lock. A send whose credit wait finds another
 *   thread reading the socket does not read it: it sleeps until that reader
 *   has recorded a credit count (or stops reading), its credit time-out
 *   passes, or the wait flag is cleared;
 * - one sender per socket at a time: a packet's frames are never interleaved
 *   with another thread's frames, and no frame number is handed out twice;
 * - the credit count, the packet flags and the frame counters are atomic;
 * - a call waits for a socket's lock no longer than its deadline (a timed
 *   receive returns SPWETH_TIMED_OUT, a timed send too), or until the wait
 *   flag is cleared; waiters are served in the order they came.
 * Settings, addresses and handlers are meant to be set before the threads
 * start. Stores 1 for safe_mode > 0, else 0, and returns what it stored.
 */
SPWETH_API int set_thread_safe_mode(int safe_mode);

/* ------------------------------------------------------------------------ */
/* Packet transmission: bytes sent (length, or length + 1), or -2          */
/* end_marker 2 or 5 ends the packet with EEP, any other value with EOP.    */
/* ------------------------------------------------------------------------ */

SPWETH_API int SpW_Send_Packet(struct pcap *socket, const unsigned char *data, int length,
                               int end_marker);
SPWETH_API int SpW_Send_Packet_From_Channel(struct pcap *socket, const unsigned char *data,
                                            int length, int end_marker, int channel);

/*
 * SpW_Send_Packet with a deadline: timeout_ms after the call (<= 0: none) it
 * returns SPWETH_TIMED_OUT when the packet's next frame could not go yet
 * (waiting for credits, or in thread-safe mode for the socket's send lock).
 * Frames sent before stay sent: the bridge then holds a packet without its
 * end. The credit time-out (set_send_credit_timeout) applies as well and
 * gives -2 with its message when it passes first.
 */
SPWETH_API int SpW_Send_Packet_Timeout(struct pcap *socket, const unsigned char *data, int length,
                                       int end_marker, int timeout_ms);

/* ------------------------------------------------------------------------ */
/* Control codes: the result of pcap_sendpacket (0, or -1)                  */
/* The many-codes calls send the first (count mod 256) codes of `codes` in  */
/* one frame. A negative count, or a null `codes` with codes to take,       */
/* returns -1 and sends nothing (no frame number is used).                  */
/* ------------------------------------------------------------------------ */

SPWETH_API int SpW_Send_CCodes(struct pcap *socket, const unsigned char *codes, int count);
SPWETH_API int SpW_Send_Time_Codes(struct pcap *socket, const unsigned char *codes, int count);
SPWETH_API int SpW_Send_INT_Codes(struct pcap *socket, const unsigned char *codes, int count,
                                  int five_bit_id);
SPWETH_API int SpW_Send_ACK_Codes(struct pcap *socket, const unsigned char *codes, int count,
                                  int five_bit_id);
SPWETH_API int SpW_Send_CC01_Codes(struct pcap *socket, const unsigned char *codes, int count);
SPWETH_API int SpW_Send_CC11_Codes(struct pcap *socket, const unsigned char *codes, int count);
SPWETH_API int SpW_Send_Time_Code(struct pcap *socket, int code);
SPWETH_API int SpW_Send_INT_Code(struct pcap *socket, int code, int five_bit_id);
SPWETH_API int SpW_Send_ACK_Code(struct pcap *socket, int code, int five_bit_id);
SPWETH_API int SpW_Send_CC01_Code(struct pcap *socket, int code);
SPWETH_API int SpW_Send_CC11_Code(struct pcap *socket, int code);

/* ------------------------------------------------------------------------ */
/* Reception                                                                */
/* ------------------------------------------------------------------------ */

/* frame_mask bits: 1 << type for types 0..8, 0x20000000 for type 136,
 * the sign bit for type 255 (configuration). */
#define SPWETH_MASK_MOF 0x1
#define SPWETH_MASK_FEOF 0x2
#define SPWETH_MASK_FEEF 0x4
#define SPWETH_MASK_SOF 0x8
#define SPWETH_MASK_EOF 0x10
#define SPWETH_MASK_EEF 0x20
#define SPWETH_MASK_CCODES 0x40
#define SPWETH_MASK_ERRORS 0x80
#define SPWETH_MASK_STATUS 0x100
#define SPWETH_MASK_TYPE_136 0x20000000
#define SPWETH_MASK_CONFIG ((int)0x80000000u)

/*
 * Whole packets or a named reason. The packet receives (SpW_Recv_Packet*,
 * plain and extended) return a packet ended by EOP (type byte 0) only when
 * every frame of it arrived. Otherwise:
 * - a packet that lost frames (set aside past the read-buffer limit, or a
 *   new packet's start arriving before its end) is returned with what it
 *   has, ended by EEP (type byte 1), and counted in packets_cut; the frame
 *   that showed the loss is kept for the next receive;
 * - middle and end fragments that arrive with no packet open are discarded
 *   up to and including their end fragment, and counted in
 *   fragments_discarded;
 * - a receive that returns with a packet open (its deadline passed, the
 *   wait flag was cleared) abandons it (packets_cut): the next receive
 *   discards its rest. An extended receive that is handed a control-code,
 *   error or status frame it asked for while a packet is open returns the
 *   packet cut first and that frame on its next call.
 * The frame-type receives hand over single frames and are not affected.
 */
SPWETH_API int SpW_Recv_Packet(struct pcap *socket, unsigned char *buffer, int length,
                               unsigned char *mac, unsigned char *type);
SPWETH_API int SpW_Recv_Packet_From_MAC(struct pcap *socket, unsigned char *buffer, int length,
                                        unsigned char *mac, unsigned char *type);
SPWETH_API int SpW_Recv_Packet_extended(struct pcap *socket, unsigned char *buffer, int length,
                                        unsigned char *mac, unsigned char *type, int frame_mask);
SPWETH_API int SpW_Recv_Packet_From_MAC_extended(struct pcap *socket, unsigned char *buffer,
                                                 int length, unsigned char *mac,
                                                 unsigned char *type, int frame_mask);
SPWETH_API int SpW_Recv_Frame_Type(struct pcap *socket, unsigned char *buffer, int length,
                                   int frame_mask, int *type, unsigned char *mac);
SPWETH_API int SpW_Recv_Frame_Type_From_MAC(struct pcap *socket, unsigned char *buffer,
                                            int length, int frame_mask, int *type,
                                            unsigned char *mac);

/* ------------------------------------------------------------------------ */
/* Waiting: deadlines, idle waits, a credit time-out                        */
/* All three are off by default; the receive calls above then poll without  */
/* pause until a packet is complete or the wait flag is cleared.            */
/* ------------------------------------------------------------------------ */

/* What a receive with a deadline returns when the deadline passes first. */
#define SPWETH_TIMED_OUT (-9)

/*
 * SpW_Recv_Packet and SpW_Recv_Packet_From_MAC with a deadline: timeout_ms
 * after the call, on the monotonic clock, they return SPWETH_TIMED_OUT unless
 * a packet is complete by then. A packet whose first frames were taken before
 * the deadline passed is abandoned (counted as cut): the next receive
 * discards its remaining frames. timeout_ms <= 0 waits without a deadline.
 * In thread-safe mode the wait for the socket's reader lock counts too. Everything
 * else is as in the calls without a deadline: the read buffer first, the
 * event handlers, reassembly, the wait flag (0 when it is cleared) and the
 * argument checks (-1).
 */
SPWETH_API int SpW_Recv_Packet_Timeout(struct pcap *socket, unsigned char *buffer, int length,
                                       unsigned char *mac, unsigned char *type, int timeout_ms);
SPWETH_API int SpW_Recv_Packet_From_MAC_Timeout(struct pcap *socket, unsigned char *buffer,
                                                int length, unsigned char *mac,
                                                unsigned char *type, int timeout_ms);

/*
 * Idle wait: when on, every receive, state query on a socket and credit wait
 * that finds nothing to read sleeps in the kernel until a frame arrives, its
 * deadline passes, or set_wait_receive_active(0) is called from any thread
 * (which wakes every sleeping wait at once). Off (the default), they poll
 * without pause. Stores 1 for on > 0, else 0, and returns what it stored.
 */
SPWETH_API int set_recv_idle_wait(int on);
SPWETH_API int get_recv_idle_wait(void);

/*
 * Credit time-out: when above 0, a send whose credit wait has not seen the
 * bridge's credits reach the wait level (set_send_credit_wait) within this
 * many milliseconds stops before its next frame, prints "Error sending packet:
 * no credits from the bridge within N ms" on standard error and returns -2.
 * Frames sent before stay sent; no frame number is used for a frame not sent.
 * 0, the default, waits for ever; a negative value stores 0. Returns what it
 * stored.
 */
SPWETH_API int set_send_credit_timeout(int milliseconds);
SPWETH_API int get_send_credit_timeout(void);

/*
 * SpW_Eth_Get_State and SpW_Eth_Get_State_From_MAC with a deadline: they
 * return SPWETH_TIMED_OUT when no status record has come timeout_ms after the
 * call (timeout_ms <= 0: no deadline), and otherwise what the calls without a
 * deadline return.
 */
SPWETH_API int SpW_Eth_Get_State_Timeout(struct pcap *socket, spw_eth_state *state,
                                         mac_address *source, int timeout_ms);
SPWETH_API int SpW_Eth_Get_State_From_MAC_Timeout(struct pcap *socket, spw_eth_state *state,
                                                  const mac_address *source, int timeout_ms);

/* ------------------------------------------------------------------------ */
/* Event handlers                                                           */
/* ------------------------------------------------------------------------ */

SPWETH_API int register_ccode_event_handler(event_handler handler);
SPWETH_API int register_err_frame_event_handler(event_handler handler);
SPWETH_API int register_status_event_handler(event_handler handler);
SPWETH_API void disable_handler_ccode(void);
SPWETH_API void disable_handler_err_frame(void);
SPWETH_API void disable_handler_status(void);
SPWETH_API event_handler get_handler_ccode_state(void);
SPWETH_API event_handler get_handler_err_frame_state(void);
SPWETH_API event_handler get_handler_status_state(void);

/* ------------------------------------------------------------------------ */
/* Bridge configuration: the result of pcap_sendpacket (0, or -1)          */
/* SpW_Eth_Set_SpW_Speed takes 10, 50, 100, 200, 300, 400 or 500 Mbit/s;    */
/* any other rate returns -1 and sends nothing, as does a null address.     */
/* ------------------------------------------------------------------------ */

SPWETH_API int SpW_Eth_Set_MAC_Source(struct pcap *socket, const mac_address *address);
SPWETH_API int SpW_Eth_Set_MAC_Dest(struct pcap *socket, const mac_address *address);
SPWETH_API int SpW_Eth_Set_SpW_Speed(struct pcap *socket, unsigned int mbit_per_s);
SPWETH_API int SpW_Eth_set_SpW_Speed(struct pcap *socket, unsigned int mbit_per_s);
SPWETH_API int SpW_Eth_Set_Filtr(struct pcap *socket, unsigned char filtr);
SPWETH_API int SpW_Eth_Set_Auto_MAC_Source(struct pcap *socket);
SPWETH_API int SpW_Eth_Set_Auto_MAC_Dest(struct pcap *socket);
SPWETH_API int SpW_Eth_Reset(struct pcap *socket);
SPWETH_API int SpW_Eth_Set_Switch_Mode(struct pcap *socket, unsigned char data_mode,
                                       unsigned char ccode_mode);
SPWETH_API int SpW_Eth_Set_Status_Freq(struct pcap *socket, unsigned char stat_freq);
SPWETH_API int SpW_Eth_Set_Status_freq(struct pcap *socket, unsigned char stat_freq);
SPWETH_API int SpW_Eth_Set_Receive_Timer(struct pcap *socket, unsigned char receive_timer);
SPWETH_API int SpW_Eth_Set_Data_Filtr(struct pcap *socket, unsigned char data_filtr,
                                      unsigned char data_mask);
SPWETH_API int SpW_Eth_Set_Hardware_Reset(struct pcap *socket);
SPWETH_API int SpW_Eth_Send_Conf_Packet(struct pcap *socket, spw_eth_conf_header_2 body);

/* ------------------------------------------------------------------------ */
/* Bridge state queries                                                     */
/* ------------------------------------------------------------------------ */

SPWETH_API int SpW_Eth_Get_State(struct pcap *socket, spw_eth_state *state, mac_address *source);
SPWETH_API int SpW_Eth_Get_State_From_MAC(struct pcap *socket, spw_eth_state *state,
                                          const mac_address *source);
SPWETH_API int SpW_Eth_Get_State_By_Dev(spw_eth_state *state, mac_address *source);
SPWETH_API int SpW_Eth_Get_State_By_Dev_From_MAC(spw_eth_state *state,
                                                 const mac_address *source);

/* ------------------------------------------------------------------------ */
/* Console printers (standard output)                                       */
/* ------------------------------------------------------------------------ */

/*
 * Messages to the application's own log. By default the library prints its
 * messages to standard output and standard error. While a handler is set,
 * every message goes to it instead, fully formatted, with stream 1 for what
 * would go to standard output and 2 for standard error, and with the context
 * given here. A null handler restores the streams. Each call of the handler
 * is one message: one or more whole lines (a printer's output comes line by
 * line), or a text that ends without a line end (a prompt, a notice). The
 * text is valid during the call only. The handler runs on the thread whose
 * call prints, and may call the library, set_console_handler included.
 * Setting a handler is safe while other threads print: a message goes either
 * to the earlier handler with its context or to the new one with its own.
 */
typedef void (*spweth_console_handler)(int stream, const char *text, void *context);
SPWETH_API void set_console_handler(spweth_console_handler handler, void *context);

SPWETH_API void Display_SDK_and_demo_information(void);
SPWETH_API void set_receive_timeout(int ignored_timeout);
SPWETH_API void print_frame_type(int frame_type);
SPWETH_API void print_error_type(int error_type);
SPWETH_API void debug_dump(const char *title, const unsigned char *bytes, unsigned int byte_count);
SPWETH_API int menu_select_valid(int key);
SPWETH_API void print_spw_eth_state(spw_eth_state *state);
SPWETH_API void print_conn_state(unsigned char link_state);
SPWETH_API void print_speed(unsigned char speed);
SPWETH_API void print_switch_mode(unsigned char switch_state);
SPWETH_API void print_switch_mode_ccode(unsigned char switch_state);
SPWETH_API void Show_Conf_Header(spw_eth_conf_header_2 body);

#ifdef __cplusplus
}
#endif

#endif /* SPWETH_H */
