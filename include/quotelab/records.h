/* quotelab: market-data records.
 *
 * Fixed-layout, packed, little-endian records that every part of quotelab exchanges and that
 * binary data files hold one after another. Their layout is a storage format: never reorder a
 * field. A producer zero-fills a record before filling it, so reserved bytes are 0 and texts
 * are NUL-terminated. The first byte is the record type code (QL_RECORD_*), the second the
 * exchange code (1 Shanghai, 2 Shenzhen, 0 unknown; see exchange_int in utilcore.h).
 *
 * Dates are YYYYMMDD, times of day HHMMSSmmm (93000000 is 09:30:00.000), prices doubles.
 * Usable from C99 and C++.
 */
#ifndef QUOTELAB_RECORDS_H
#define QUOTELAB_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "quotelab/export.h"

/* Record type codes: the value of each record's first byte. */
enum ql_record_type_e {
  QL_RECORD_L1SNAPSHOT = 1, /* _L1Snapshot */
  QL_RECORD_L2SNAPSHOT = 2, /* _L2Snapshot, a "tick" */
  QL_RECORD_L2TRADE = 3,    /* _L2Trade */
  QL_RECORD_L2ORDER = 4,    /* _L2Order */
  QL_RECORD_MDINDEX = 5,    /* _MDIndex */
  QL_RECORD_BAR = 7         /* _BarData */
};

/* Record sizes in bytes. An extended bar is a _BarData whose `extension` byte is non-zero,
 * followed by QL_BAR_EXT_SIZE - QL_BAR_SIZE bytes of the producer's own. */
#define QL_L2SNAPSHOT_SIZE 464
#define QL_L2TRADE_SIZE 92
#define QL_L2ORDER_SIZE 68
#define QL_BAR_SIZE 180
#define QL_BAR_EXT_SIZE 252
#define QL_MDINDEX_SIZE 106
#define QL_L1SNAPSHOT_SIZE 344

#define QL_SNAPSHOT_LEVELS 10
#define QL_L1_LEVELS 5

#pragma pack(push, 1)

/* One level-2 quote snapshot with ten price levels per side; an empty level is 0.0 / 0. */
typedef struct _L2Snapshot {
  uint8_t type;              /*   0: QL_RECORD_L2SNAPSHOT */
  uint8_t exchange;          /*   1 */
  char symbol[30];           /*   2: code without exchange suffix, at most 29 characters */
  uint8_t reserved1[8];      /*  32 */
  int32_t action_day;        /*  40: calendar date of the snapshot */
  int32_t time;              /*  44: HHMMSSmmm */
  double open;               /*  48 */
  double high;               /*  56 */
  double low;                /*  64 */
  double last;               /*  72 */
  int64_t volume;            /*  80: cumulative */
  double turnover;           /*  88: cumulative amount */
  double upper_limit;        /*  96 */
  double lower_limit;        /* 104 */
  double pre_close;          /* 112 */
  double pre_settle;         /* 120 */
  double settle;             /* 128 */
  uint8_t reserved2[16];     /* 136 */
  double iopv;               /* 152 */
  int32_t num_trades;        /* 160: cumulative */
  int32_t open_interest;     /* 164 */
  int32_t pre_open_interest; /* 168 */
  int32_t trading_day;       /* 172 */
  uint8_t reserved3[48];     /* 176 */
  double ask_price[10];      /* 224: level 1 (best) to 10 */
  int32_t ask_volume[10];    /* 304 */
  double bid_price[10];      /* 344 */
  int32_t bid_volume[10];    /* 424 */
} _L2Snapshot;               /* 464 */

/* One OHLC bar. Note: turnover precedes volume here, unlike in _L2Snapshot. */
typedef struct _BarData {
  uint8_t type;          /*   0: QL_RECORD_BAR */
  uint8_t exchange;      /*   1 */
  char symbol[30];       /*   2 */
  uint8_t reserved1[8];  /*  32 */
  int32_t action_day;    /*  40 */
  int32_t time;          /*  44: HHMMSSmmm for bars made by quotelab */
  double open;           /*  48 */
  double high;           /*  56 */
  double low;            /*  64 */
  double close;          /*  72 */
  double turnover;       /*  80 */
  int64_t volume;        /*  88 */
  uint8_t reserved2[16]; /*  96 */
  double pre_close;      /* 112 */
  uint8_t reserved3[24]; /* 120 */
  int32_t open_interest; /* 144 */
  int32_t trading_day;   /* 148 */
  int32_t num_trades;    /* 152 */
  double iopv;           /* 156 */
  double turn;           /* 164 */
  uint8_t reserved4[7];  /* 172 */
  uint8_t extension;     /* 179: non-zero marks a 252-byte extended bar */
} _BarData;              /* 180 */

/* One trade-by-trade record. A Shenzhen cancellation is a trade with one sequence number 0. */
typedef struct _L2Trade {
  uint8_t type;          /*  0: QL_RECORD_L2TRADE */
  uint8_t exchange;      /*  1 */
  char symbol[10];       /*  2: at most 9 characters */
  uint8_t reserved1[8];  /* 12 */
  int32_t action_day;    /* 20 */
  int32_t time;          /* 24 */
  int32_t aux_no;        /* 28: carried and written only */
  uint32_t volume;       /* 32 */
  double price;          /* 36 */
  int64_t seq_num;       /* 44 */
  int64_t bid_seq_num;   /* 52 */
  int64_t ask_seq_num;   /* 60 */
  uint8_t reserved2[20]; /* 68 */
  char trade_flag;       /* 88: 0 when absent */
  char bs_flag;          /* 89: 'B', 'S' or 0 */
  uint8_t reserved3[2];  /* 90 */
} _L2Trade;              /* 92 */

/* One order-by-order record; its first 52 bytes follow the trade layout. */
typedef struct _L2Order {
  uint8_t type;         /*  0: QL_RECORD_L2ORDER */
  uint8_t exchange;     /*  1 */
  char symbol[10];      /*  2 */
  uint8_t reserved1[8]; /* 12 */
  int32_t action_day;   /* 20 */
  int32_t time;         /* 24 */
  int32_t aux_no;       /* 28 */
  uint32_t volume;      /* 32 */
  double price;         /* 36 */
  int64_t seq_num;      /* 44 */
  int64_t order_index;  /* 52 */
  char bs_flag;         /* 60: 'B' or 'S' */
  char order_type;      /* 61: 'D' cancel, '1' market, '2' limit, as the exchange gives it */
  uint8_t reserved2[6]; /* 62 */
} _L2Order;             /* 68 */

/* One index quote. action_day and time are not 4-byte aligned. The values after `time` are the
 * index's own: previous close, the day's open, high and low, the latest level, the closing level
 * (0 until the close), cumulative volume and turnover of the constituents, and the trading day. */
typedef struct _MDIndex {
  uint8_t type;        /*   0: QL_RECORD_MDINDEX */
  uint8_t exchange;    /*   1 */
  char symbol[24];     /*   2 */
  int32_t action_day;  /*  26 */
  int32_t time;        /*  30 */
  double pre_close;    /*  34 */
  double open;         /*  42 */
  double high;         /*  50 */
  double low;          /*  58 */
  double last;         /*  66 */
  double close;        /*  74 */
  int64_t volume;      /*  82 */
  double turnover;     /*  90 */
  int32_t trading_day; /*  98 */
  uint8_t reserved[4]; /* 102 */
} _MDIndex;            /* 106 */

/* A level-1 quote: the snapshot's first 224 bytes, then five price levels per side. */
typedef struct _L1Snapshot {
  uint8_t type;              /*   0: QL_RECORD_L1SNAPSHOT */
  uint8_t exchange;          /*   1 */
  char symbol[30];           /*   2 */
  uint8_t reserved1[8];      /*  32 */
  int32_t action_day;        /*  40 */
  int32_t time;              /*  44 */
  double open;               /*  48 */
  double high;               /*  56 */
  double low;                /*  64 */
  double last;               /*  72 */
  int64_t volume;            /*  80 */
  double turnover;           /*  88 */
  double upper_limit;        /*  96 */
  double lower_limit;        /* 104 */
  double pre_close;          /* 112 */
  double pre_settle;         /* 120 */
  double settle;             /* 128 */
  uint8_t reserved2[16];     /* 136 */
  double iopv;               /* 152 */
  int32_t num_trades;        /* 160 */
  int32_t open_interest;     /* 164 */
  int32_t pre_open_interest; /* 168 */
  int32_t trading_day;       /* 172 */
  uint8_t reserved3[48];     /* 176 */
  double ask_price[5];       /* 224 */
  int32_t ask_volume[5];     /* 264 */
  double bid_price[5];       /* 284 */
  int32_t bid_volume[5];     /* 324 */
} _L1Snapshot;               /* 344 */

#pragma pack(pop)

/* ---- layout checks: a changed offset is a changed file format ---------------------------- */
#define QL_CHECK_OFFSET(rec, field, off) \
  QL_STATIC_ASSERT(offsetof(rec, field) == (off), rec##_##field##_offset)

QL_STATIC_ASSERT(sizeof(_L2Snapshot) == QL_L2SNAPSHOT_SIZE, L2Snapshot_size);
QL_CHECK_OFFSET(_L2Snapshot, type, 0);
QL_CHECK_OFFSET(_L2Snapshot, exchange, 1);
QL_CHECK_OFFSET(_L2Snapshot, symbol, 2);
QL_CHECK_OFFSET(_L2Snapshot, reserved1, 32);
QL_CHECK_OFFSET(_L2Snapshot, action_day, 40);
QL_CHECK_OFFSET(_L2Snapshot, time, 44);
QL_CHECK_OFFSET(_L2Snapshot, open, 48);
QL_CHECK_OFFSET(_L2Snapshot, high, 56);
QL_CHECK_OFFSET(_L2Snapshot, low, 64);
QL_CHECK_OFFSET(_L2Snapshot, last, 72);
QL_CHECK_OFFSET(_L2Snapshot, volume, 80);
QL_CHECK_OFFSET(_L2Snapshot, turnover, 88);
QL_CHECK_OFFSET(_L2Snapshot, upper_limit, 96);
QL_CHECK_OFFSET(_L2Snapshot, lower_limit, 104);
QL_CHECK_OFFSET(_L2Snapshot, pre_close, 112);
QL_CHECK_OFFSET(_L2Snapshot, pre_settle, 120);
QL_CHECK_OFFSET(_L2Snapshot, settle, 128);
QL_CHECK_OFFSET(_L2Snapshot, reserved2, 136);
QL_CHECK_OFFSET(_L2Snapshot, iopv, 152);
QL_CHECK_OFFSET(_L2Snapshot, num_trades, 160);
QL_CHECK_OFFSET(_L2Snapshot, open_interest, 164);
QL_CHECK_OFFSET(_L2Snapshot, pre_open_interest, 168);
QL_CHECK_OFFSET(_L2Snapshot, trading_day, 172);
QL_CHECK_OFFSET(_L2Snapshot, reserved3, 176);
QL_CHECK_OFFSET(_L2Snapshot, ask_price, 224);
QL_CHECK_OFFSET(_L2Snapshot, ask_volume, 304);
QL_CHECK_OFFSET(_L2Snapshot, bid_price, 344);
QL_CHECK_OFFSET(_L2Snapshot, bid_volume, 424);

QL_STATIC_ASSERT(sizeof(_BarData) == QL_BAR_SIZE, BarData_size);
QL_CHECK_OFFSET(_BarData, type, 0);
QL_CHECK_OFFSET(_BarData, exchange, 1);
QL_CHECK_OFFSET(_BarData, symbol, 2);
QL_CHECK_OFFSET(_BarData, reserved1, 32);
QL_CHECK_OFFSET(_BarData, action_day, 40);
QL_CHECK_OFFSET(_BarData, time, 44);
QL_CHECK_OFFSET(_BarData, open, 48);
QL_CHECK_OFFSET(_BarData, high, 56);
QL_CHECK_OFFSET(_BarData, low, 64);
QL_CHECK_OFFSET(_BarData, close, 72);
QL_CHECK_OFFSET(_BarData, turnover, 80);
QL_CHECK_OFFSET(_BarData, volume, 88);
QL_CHECK_OFFSET(_BarData, reserved2, 96);
QL_CHECK_OFFSET(_BarData, pre_close, 112);
QL_CHECK_OFFSET(_BarData, reserved3, 120);
QL_CHECK_OFFSET(_BarData, open_interest, 144);
QL_CHECK_OFFSET(_BarData, trading_day, 148);
QL_CHECK_OFFSET(_BarData, num_trades, 152);
QL_CHECK_OFFSET(_BarData, iopv, 156);
QL_CHECK_OFFSET(_BarData, turn, 164);
QL_CHECK_OFFSET(_BarData, reserved4, 172);
QL_CHECK_OFFSET(_BarData, extension, 179);

QL_STATIC_ASSERT(sizeof(_L2Trade) == QL_L2TRADE_SIZE, L2Trade_size);
QL_CHECK_OFFSET(_L2Trade, type, 0);
QL_CHECK_OFFSET(_L2Trade, exchange, 1);
QL_CHECK_OFFSET(_L2Trade, symbol, 2);
QL_CHECK_OFFSET(_L2Trade, reserved1, 12);
QL_CHECK_OFFSET(_L2Trade, action_day, 20);
QL_CHECK_OFFSET(_L2Trade, time, 24);
QL_CHECK_OFFSET(_L2Trade, aux_no, 28);
QL_CHECK_OFFSET(_L2Trade, volume, 32);
QL_CHECK_OFFSET(_L2Trade, price, 36);
QL_CHECK_OFFSET(_L2Trade, seq_num, 44);
QL_CHECK_OFFSET(_L2Trade, bid_seq_num, 52);
QL_CHECK_OFFSET(_L2Trade, ask_seq_num, 60);
QL_CHECK_OFFSET(_L2Trade, reserved2, 68);
QL_CHECK_OFFSET(_L2Trade, trade_flag, 88);
QL_CHECK_OFFSET(_L2Trade, bs_flag, 89);
QL_CHECK_OFFSET(_L2Trade, reserved3, 90);

QL_STATIC_ASSERT(sizeof(_L2Order) == QL_L2ORDER_SIZE, L2Order_size);
QL_CHECK_OFFSET(_L2Order, type, 0);
QL_CHECK_OFFSET(_L2Order, exchange, 1);
QL_CHECK_OFFSET(_L2Order, symbol, 2);
QL_CHECK_OFFSET(_L2Order, reserved1, 12);
QL_CHECK_OFFSET(_L2Order, action_day, 20);
QL_CHECK_OFFSET(_L2Order, time, 24);
QL_CHECK_OFFSET(_L2Order, aux_no, 28);
QL_CHECK_OFFSET(_L2Order, volume, 32);
QL_CHECK_OFFSET(_L2Order, price, 36);
QL_CHECK_OFFSET(_L2Order, seq_num, 44);
QL_CHECK_OFFSET(_L2Order, order_index, 52);
QL_CHECK_OFFSET(_L2Order, bs_flag, 60);
QL_CHECK_OFFSET(_L2Order, order_type, 61);
QL_CHECK_OFFSET(_L2Order, reserved2, 62);

QL_STATIC_ASSERT(sizeof(_MDIndex) == QL_MDINDEX_SIZE, MDIndex_size);
QL_CHECK_OFFSET(_MDIndex, type, 0);
QL_CHECK_OFFSET(_MDIndex, exchange, 1);
QL_CHECK_OFFSET(_MDIndex, symbol, 2);
QL_CHECK_OFFSET(_MDIndex, action_day, 26);
QL_CHECK_OFFSET(_MDIndex, time, 30);
QL_CHECK_OFFSET(_MDIndex, pre_close, 34);
QL_CHECK_OFFSET(_MDIndex, open, 42);
QL_CHECK_OFFSET(_MDIndex, high, 50);
QL_CHECK_OFFSET(_MDIndex, low, 58);
QL_CHECK_OFFSET(_MDIndex, last, 66);
QL_CHECK_OFFSET(_MDIndex, close, 74);
QL_CHECK_OFFSET(_MDIndex, volume, 82);
QL_CHECK_OFFSET(_MDIndex, turnover, 90);
QL_CHECK_OFFSET(_MDIndex, trading_day, 98);
QL_CHECK_OFFSET(_MDIndex, reserved, 102);

QL_STATIC_ASSERT(sizeof(_L1Snapshot) == QL_L1SNAPSHOT_SIZE, L1Snapshot_size);
QL_CHECK_OFFSET(_L1Snapshot, action_day, 40);
QL_CHECK_OFFSET(_L1Snapshot, time, 44);
QL_CHECK_OFFSET(_L1Snapshot, trading_day, 172);
QL_CHECK_OFFSET(_L1Snapshot, ask_price, 224);
QL_CHECK_OFFSET(_L1Snapshot, ask_volume, 264);
QL_CHECK_OFFSET(_L1Snapshot, bid_price, 284);
QL_CHECK_OFFSET(_L1Snapshot, bid_volume, 324);

#ifdef __cplusplus
extern "C" {
#endif
/* Returns the size in bytes of a record of type code `type` (180 for bars), or 0 for a code
 * that names no record. */
QL_API int ql_record_size(int type);
#ifdef __cplusplus
}
#endif

#endif /* QUOTELAB_RECORDS_H */
