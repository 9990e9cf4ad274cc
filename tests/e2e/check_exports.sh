#!/usr/bin/env bash
# Checks the shared library's exported names against the public header: every
# exported function is declared there, and the functions every build must
# carry are exported. Names reserved to the toolchain (leading underscore) are
# not the library's own.
# Usage: check_exports.sh <libspweth.so> <public header>...
set -euo pipefail
library=$1
shift
headers=("$@")

declared=$(sed -nE 's/^SPWETH_API[^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/p' "${headers[@]}" | sort -u)
exported=$(nm -D --defined-only "$library" | awk 'NF >= 3 { print $3 }' | grep -v '^_' | sort -u)

required=(
    # settings and state getters
    get_wait_receive_status set_wait_receive_active set_send_crediting set_send_credit_limit
    set_send_credit_wait set_recv_skip_out_frames get_packet_has_comm_byte
    get_packet_has_recv_timer get_bridge_credits
    get_current_source_mac_address get_current_source_mac_adress
    set_source_mac_address set_source_mac_adress
    get_current_dest_mac_address get_current_dest_mac_adress
    set_dest_mac_address set_dest_mac_adress
    # adapters and sockets
    Create_List_Devices SpW_Socket_Init SpW_Socket_Init_Dialog
    Get_Number_Chosen_Network_Device get_number_chosen_network_device
    SpW_Socket_Close SpW_Socket_Reset
    # read buffers
    set_recv_buffering set_recv_buffer_size set_thread_safe_mode
)

status=0
if [[ $(wc -l <<<"$declared") -lt ${#required[@]} ]]; then
    echo "the headers declare too few functions: are ${headers[*]} the public headers?"
    status=1
fi
undeclared=$(comm -23 <(echo "$exported") <(echo "$declared"))
if [[ -n $undeclared ]]; then
    echo "exported but not declared in a public header:"
    echo "$undeclared" | sed 's/^/  /'
    status=1
fi
for name in "${required[@]}"; do
    if ! grep -qx "$name" <<<"$exported"; then
        echo "not exported: $name"
        status=1
    fi
done
echo "$(wc -l <<<"$exported") exported of $(wc -l <<<"$declared") declared"
exit $status
