#include "link/sockets.h"
#include "rx/rx.h"
#include "tx/tx.h"

namespace spweth {

bool SendLock::lock(Socket socket, FairLock SocketLocks::*which, const Deadline &deadline) {
    SocketRecord *record = find_socket(socket);
    if (record == nullptr) return true;  // the send refuses the socket itself
    FairLock &wanted = record->locks.*which;
    if (!wanted.try_lock()) {
        if (!record->locks.reader.held_by_this_thread()) {
            if (!wanted.lock(deadline)) return false;
        } else {
            // The holder may be waiting for credits that only this thread can read.
            unsigned char type = 0;
            do {
                if (deadline.passed() || library_state.wait_receive_active.load() == 0)
                    return false;
                SpW_Recv_Packet_uni(kRecvCreditWait, socket, nullptr, 0, nullptr, &type, 0);
                wait_for_frame(socket, deadline.at_most_ms(1));
            } while (!wanted.try_lock());
        }
    }
    lock_ = &wanted;
    return true;
}

}  // namespace spweth
