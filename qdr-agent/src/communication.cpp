#include "communication.h"

#include "dgcomm.h"
#include "vklog.h"

#ifndef DG_HAVE_MESSAGES
int recv_msg_process(const uint8_t *, uint32_t) { return -1; }
int recv_res_agent_info(const uint8_t *, size_t) { return -1; }
int recv_config(const uint8_t *, size_t) { return -1; }
#endif
