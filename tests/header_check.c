/* The public header must compile as plain C. */
#include "spweth.h"
#include "spweth_rmap.h"

int spweth_header_check(void) { return (int)sizeof(spw_eth_state); }
