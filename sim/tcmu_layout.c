/* Build-time check of sim/tcmu_layout.h against the kernel's own header. */
#include <stddef.h>
#include <sys/uio.h>

/* The kernel header declares its own struct iovec unless told the C library's is there. */
#define __LINUX_UIO_H
#include <linux/target_core_user.h>

#include "sim/tcmu_layout.h"

#define SAME(a, b) \
    _Static_assert((long)(a) == (long)(b), #a " differs from the kernel's " #b)

SAME(TOLVA_TCMU_MB_VERSION, offsetof(struct tcmu_mailbox, version));
SAME(TOLVA_TCMU_MB_FLAGS, offsetof(struct tcmu_mailbox, flags));
SAME(TOLVA_TCMU_MB_CMDR_OFF, offsetof(struct tcmu_mailbox, cmdr_off));
SAME(TOLVA_TCMU_MB_CMDR_SIZE, offsetof(struct tcmu_mailbox, cmdr_size));
SAME(TOLVA_TCMU_MB_CMD_HEAD, offsetof(struct tcmu_mailbox, cmd_head));
SAME(TOLVA_TCMU_MB_CMD_TAIL, offsetof(struct tcmu_mailbox, cmd_tail));
SAME(TOLVA_TCMU_MB_SIZE, sizeof(struct tcmu_mailbox));
SAME(TOLVA_TCMU_MAILBOX_VERSION, TCMU_MAILBOX_VERSION);
SAME(TOLVA_TCMU_CAP_READ_LEN, TCMU_MAILBOX_FLAG_CAP_READ_LEN);
SAME(TOLVA_TCMU_HDR_LEN_OP, offsetof(struct tcmu_cmd_entry_hdr, len_op));
SAME(TOLVA_TCMU_HDR_UFLAGS, offsetof(struct tcmu_cmd_entry_hdr, uflags));
SAME(TOLVA_TCMU_HDR_SIZE, sizeof(struct tcmu_cmd_entry_hdr));
SAME(TOLVA_TCMU_OP_MASK, TCMU_OP_MASK);
SAME(TOLVA_TCMU_OP_PAD, TCMU_OP_PAD);
SAME(TOLVA_TCMU_OP_CMD, TCMU_OP_CMD);
SAME(TOLVA_TCMU_UFLAG_UNKNOWN_OP, TCMU_UFLAG_UNKNOWN_OP);
SAME(TOLVA_TCMU_UFLAG_READ_LEN, TCMU_UFLAG_READ_LEN);
SAME(TOLVA_TCMU_REQ_IOV_CNT, offsetof(struct tcmu_cmd_entry, req.iov_cnt));
SAME(TOLVA_TCMU_RSP_STATUS, offsetof(struct tcmu_cmd_entry, rsp.scsi_status));
SAME(TOLVA_TCMU_RSP_READ_LEN, offsetof(struct tcmu_cmd_entry, rsp.read_len));
SAME(TOLVA_TCMU_RSP_SENSE, offsetof(struct tcmu_cmd_entry, rsp.sense_buffer));
SAME(TOLVA_TCMU_SENSE_SIZE, TCMU_SENSE_BUFFERSIZE);
SAME(TOLVA_TCMU_ENTRY_SIZE, sizeof(struct tcmu_cmd_entry));
#if defined(__x86_64__)
/* The 64-bit kernel aligns its 64-bit fields where a 32-bit compiler would not; a 32-bit
 * build keeps the kernel's numbers, so only a 64-bit one can compare these. */
SAME(TOLVA_TCMU_REQ_CDB_OFF, offsetof(struct tcmu_cmd_entry, req.cdb_off));
SAME(TOLVA_TCMU_REQ_IOV, offsetof(struct tcmu_cmd_entry, req.iov));
SAME(TOLVA_TCMU_IOV_SIZE, sizeof(struct iovec));
#endif
