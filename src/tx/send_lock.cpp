#include "rx/rx.h"
#include "tx/tx.h"

namespace spweth {

void SendLock::lock(Socket socket, std::mutex SocketLocks::*which) {
    SocketLocks &locks = socket_locks(socket);
    mutex_ = &(locks.*which);
    if (mutex_->try_lock()) return;
    if (!locks.reader.held_by_this_thread()) {
        mutex_->lock();
        return;
    }
    // The holder may be waiting for credits that only this thread can read.
    unsigned char type = 0;
    do {
        SpW_Recv_Packet_uni(kRecvCreditWait, socket, nullptr, 0, nullptr, &type, 0);
        wait_for_frame(socket, Deadline::after_ms(1));
    } while (!mutex_->try_lock());
}

}  // namespace spweth
