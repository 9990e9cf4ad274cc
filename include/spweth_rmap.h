/*
 * spweth RMAP: an initiator of the Remote Memory Access Protocol
 * (ECSS-E-ST-50-52C) over the bridge, in the same library as spweth.h.
 *
 * The build functions write a command packet into a caller's buffer and know
 * nothing of sockets. The transactions send a command with SpW_Send_Packet
 * (credit flow control applies) and wait for its reply from the socket's
 * bridge address (SpW_Socket_Get_Bridge_Address) with a deadline.
 */
#ifndef SPWETH_RMAP_H
#define SPWETH_RMAP_H

#include "spweth.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where a command goes and where its reply comes back. */
typedef struct spw_rmap_target {
    unsigned char target_address[12]; /* SpaceWire address bytes sent before the logical address */
    int target_address_length;        /* 0..12 */
    unsigned char target_logical_address;
    unsigned char key;
    unsigned char reply_address[12]; /* unpadded, not starting with 0x00; the library pads it */
    int reply_address_length;        /* 0..12 */
    unsigned char initiator_logical_address;
} spw_rmap_target;

/* Command flags. */
#define SPW_RMAP_INCREMENT 0x1 /* incrementing address */
#define SPW_RMAP_VERIFY 0x2    /* verify data before write (writes only) */
#define SPW_RMAP_REPLY 0x4     /* ask for a reply (writes only: reads always have one) */

/* A matching reply failed its CRCs or lengths. */
#define SPW_RMAP_BAD_REPLY (-10)

/* The RMAP CRC-8 of `length` bytes (0 for none). */
SPWETH_API unsigned char SpW_RMAP_CRC(const unsigned char *bytes, int length);

/*
 * Build a command packet into `packet`: the target's SpaceWire address bytes,
 * the header with its CRC, and for writes and read-modify-writes the data (and
 * mask) with their CRC. Return the packet's length, or -1 for a bad argument
 * or a `capacity` too small (nothing is then written past `capacity`).
 * Flags other than the three are refused; a read takes only
 * SPW_RMAP_INCREMENT. A read-modify-write carries 0..4 bytes of data.
 *
 * The reply address goes out with zeros in front up to a multiple of four
 * bytes, and a target takes every leading zero of that field for padding: a
 * reply address whose first byte is 0x00 (reply_address_length > 0) cannot be
 * sent as it is, and every build and transaction call returns -1 for it
 * without sending anything. A zero after the first byte is fine.
 */
SPWETH_API int SpW_RMAP_Build_Write(const spw_rmap_target *target, int transaction_id,
                                    unsigned char extended_address, unsigned int address,
                                    const unsigned char *data, int length, int flags,
                                    unsigned char *packet, int capacity);
SPWETH_API int SpW_RMAP_Build_Read(const spw_rmap_target *target, int transaction_id,
                                   unsigned char extended_address, unsigned int address, int length,
                                   int flags, unsigned char *packet, int capacity);
SPWETH_API int SpW_RMAP_Build_RMW(const spw_rmap_target *target, int transaction_id,
                                  unsigned char extended_address, unsigned int address,
                                  const unsigned char *data, const unsigned char *mask, int length,
                                  unsigned char *packet, int capacity);

/*
 * Transactions. Results: 0 success; 1..255 the status the target replied;
 * -1 a bad argument (as for the build calls, a reply address starting with
 * 0x00 among them: nothing is sent); -2 the send failed; SPWETH_TIMED_OUT when no matching
 * reply came within timeout_ms (or the wait flag was cleared first);
 * SPW_RMAP_BAD_REPLY when the matching reply fails its CRCs or lengths or
 * ends with EEP. timeout_ms <= 0 waits without a deadline; a deadline
 * bounds the whole transaction: the command's send (its credit waits and, in
 * thread-safe mode, its locks) and the wait for the reply. A write without
 * SPW_RMAP_REPLY returns 0 once sent. Transaction identifiers come from one
 * process-wide 16-bit counter, unique among the transactions in flight on a
 * socket. A read-modify-write's old_data may be NULL when the old data is not
 * wanted.
 *
 * A reply belongs to the transaction that waits for it, whoever reads the
 * socket: while transactions are in flight, every packet receive on that
 * socket (a transaction's wait, or an ordinary SpW_Recv_Packet*) hands a
 * reply that matches one in flight (initiator logical address, transaction
 * identifier, instruction, from the socket's bridge address) to it, and keeps
 * every other packet for the socket's ordinary receives, in order. A reply
 * that matches nothing in flight, arriving within a few seconds of its
 * transaction's end (a late reply after a time-out, a duplicate), is dropped
 * and counted (SpW_RMAP_Get_Dropped_Count, and the socket's
 * rmap_replies_dropped counter). With the thread-safe mode on, any number of
 * threads may run transactions and ordinary receives on one socket at once.
 */
SPWETH_API int SpW_RMAP_Write(struct pcap *socket, const spw_rmap_target *target,
                              unsigned char extended_address, unsigned int address,
                              const unsigned char *data, int length, int flags, int timeout_ms);
SPWETH_API int SpW_RMAP_Read(struct pcap *socket, const spw_rmap_target *target,
                             unsigned char extended_address, unsigned int address,
                             unsigned char *data, int length, int flags, int timeout_ms);
SPWETH_API int SpW_RMAP_Read_Modify_Write(struct pcap *socket, const spw_rmap_target *target,
                                          unsigned char extended_address, unsigned int address,
                                          const unsigned char *data, const unsigned char *mask,
                                          int length, unsigned char *old_data, int timeout_ms);

/*
 * Transactions in flight. SpW_RMAP_Begin sends the request's command and
 * returns a ticket (0 or more), or a negative result as the blocking calls
 * do (-1 also when 128 transactions are already in flight on the socket);
 * SpW_RMAP_End waits up to timeout_ms (<= 0: no deadline) for that ticket's
 * reply, copies its data (a read's data, a read-modify-write's old data; at
 * most `length` bytes, none for a NULL data) and returns what the blocking
 * calls return, or -1 for a ticket that is not in flight on the socket. Every
 * ticket is ended once; a ticket never ended is released when the socket
 * closes. The blocking calls are a Begin and an End under one deadline.
 */
#define SPW_RMAP_KIND_WRITE 1
#define SPW_RMAP_KIND_READ 2
#define SPW_RMAP_KIND_RMW 3
typedef struct spw_rmap_request {
    int kind; /* SPW_RMAP_KIND_* */
    unsigned char extended_address;
    unsigned int address;
    const unsigned char *data; /* a write's data, a read-modify-write's; NULL for a read */
    const unsigned char *mask; /* a read-modify-write's mask; NULL otherwise */
    int length;                /* bytes written, read, or read-modify-written (0..4) */
    int flags;                 /* as the blocking calls take them (none for RMW) */
} spw_rmap_request;

SPWETH_API int SpW_RMAP_Begin(struct pcap *socket, const spw_rmap_target *target,
                              const spw_rmap_request *request);
SPWETH_API int SpW_RMAP_End(struct pcap *socket, int ticket, unsigned char *data, int length,
                            int timeout_ms);

/* Replies dropped since the library was loaded: those that matched no transaction in flight. */
SPWETH_API unsigned long SpW_RMAP_Get_Dropped_Count(void);

/* A text for every status code and every negative result of the calls above. */
SPWETH_API const char *SpW_RMAP_Status_Text(int result);

#ifdef __cplusplus
}
#endif

#endif /* SPWETH_RMAP_H */
