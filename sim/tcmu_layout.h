/* Where the fields of the kernel's TCMU ring lie, as plain numbers for code that cannot take
 * the kernel's header (C++ refuses its inline helpers). tcmu_layout.c checks every number
 * against <linux/target_core_user.h> when it is built. */
#ifndef TOLVA_SIM_TCMU_LAYOUT_H
#define TOLVA_SIM_TCMU_LAYOUT_H

enum tolva_tcmu_layout {
    /* struct tcmu_mailbox */
    TOLVA_TCMU_MB_VERSION = 0,
    TOLVA_TCMU_MB_FLAGS = 2,
    TOLVA_TCMU_MB_CMDR_OFF = 4,
    TOLVA_TCMU_MB_CMDR_SIZE = 8,
    TOLVA_TCMU_MB_CMD_HEAD = 12,
    TOLVA_TCMU_MB_CMD_TAIL = 64,
    TOLVA_TCMU_MB_SIZE = 128,
    TOLVA_TCMU_MAILBOX_VERSION = 2,
    TOLVA_TCMU_CAP_READ_LEN = 2,
    /* struct tcmu_cmd_entry_hdr */
    TOLVA_TCMU_HDR_LEN_OP = 0,
    TOLVA_TCMU_HDR_UFLAGS = 7,
    TOLVA_TCMU_HDR_SIZE = 8,
    TOLVA_TCMU_OP_MASK = 7,
    TOLVA_TCMU_OP_PAD = 0,
    TOLVA_TCMU_OP_CMD = 1,
    TOLVA_TCMU_UFLAG_UNKNOWN_OP = 1,
    TOLVA_TCMU_UFLAG_READ_LEN = 2,
    /* struct tcmu_cmd_entry: the request, then the answer written over it */
    TOLVA_TCMU_REQ_IOV_CNT = 8,
    TOLVA_TCMU_REQ_CDB_OFF = 24,
    TOLVA_TCMU_REQ_IOV = 48,
    TOLVA_TCMU_IOV_SIZE = 16, /* the 64-bit kernel's struct iovec: offset, then length */
    TOLVA_TCMU_RSP_STATUS = 8,
    TOLVA_TCMU_RSP_READ_LEN = 12,
    TOLVA_TCMU_RSP_SENSE = 16,
    TOLVA_TCMU_SENSE_SIZE = 96,
    TOLVA_TCMU_ENTRY_SIZE = 112
};

#endif
