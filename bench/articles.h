/* Articles of the fleet benchmarks: article number i gives one plate, week and seven
 * days of kilometres and costs, both as the lines typed into autolog and as the
 * 88-byte record that autolog stores for them, so that the C floor inserts exactly
 * what autolog writes. Plain C, for the floor program and the C++ driver alike. */
#ifndef BENCH_ARTICLES_H_
#define BENCH_ARTICLES_H_

#include <stdio.h>
#include <string.h>

enum { kArticleRecordSize = 88, kArticleTextMax = 160 };

/* Plates are 8 digits: i * 61803399 + 104729 modulo 10^8 is one-to-one (61803399 is
 * prime to 10), so articles never share a plate; and since the step is close to the
 * golden section of 10^8, consecutive articles spread evenly over the key range: a
 * later batch lands all over the file's key order, not in one place. */
static inline void article_plate(unsigned i, char plate[9]) {
  snprintf(plate, 9, "%08u", (unsigned)((i * 61803399ull + 104729ull) % 100000000ull));
}
static inline unsigned article_week(unsigned i) { return i % 52 + 1; }
/* day: 1 (Monday) to 7 (Sunday). */
static inline unsigned article_mileage(unsigned i, unsigned day) {
  return (unsigned)((i * 31ull + day * 97ull) % 10000ull);
}
static inline unsigned article_cents(unsigned i, unsigned day) {
  return (unsigned)((i * 977ull + day * 3301ull) % 1000000ull);
}

/* The lines that add article i through autolog's question and menu: "o", choice "2",
 * week, plate, then kilometres and costs for each day. Returns the number of bytes. */
static inline size_t article_text(unsigned i, char text[kArticleTextMax]) {
  char plate[9];
  article_plate(i, plate);
  size_t n = (size_t)snprintf(text, kArticleTextMax, "o\n2\n%u\n%s\n", article_week(i), plate);
  for (unsigned day = 1; day <= 7; ++day) {
    const unsigned cents = article_cents(i, day);
    n += (size_t)snprintf(text + n, kArticleTextMax - n, "%u\n%u.%02u\n", article_mileage(i, day), cents / 100,
                          cents % 100);
  }
  return n;
}

/* The record autolog stores for article i: plate, 2-digit week, eight zero bytes
 * that nothing sets, then per day 4 digits of kilometres and 6 of costs. */
static inline void article_record(unsigned i, unsigned char record[kArticleRecordSize]) {
  char digits[16];
  memset(record, 0, kArticleRecordSize);
  article_plate(i, (char*)digits);
  memcpy(record, digits, 8);
  snprintf(digits, sizeof digits, "%02u", article_week(i));
  memcpy(record + 8, digits, 2);
  for (unsigned day = 1; day <= 7; ++day) {
    snprintf(digits, sizeof digits, "%04u%06u", article_mileage(i, day), article_cents(i, day));
    memcpy(record + 18 + 10 * (day - 1), digits, 10);
  }
}

#endif /* BENCH_ARTICLES_H_ */
