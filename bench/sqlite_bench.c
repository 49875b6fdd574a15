/* sqlite_bench: SQLite's side of bench/compare.sh, in process.
 *
 *   sqlite_bench DBFILE MODE SECONDS [KEYS [RANGE]]
 *
 * Opens DBFILE (a table t(id INTEGER, name TEXT, city TEXT) with an index on
 * id, made by compare.sh) once, prepares the statement once, then repeats
 * one operation for SECONDS (at least once, at most 1,000,000 times):
 *   count  SELECT count(*) FROM t
 *   range  SELECT name FROM t WHERE id >= a AND id < a + RANGE, every row
 *          stepped and its name read (a drawn like ztload's range mode)
 *   sort   SELECT name FROM t ORDER BY name, every row stepped and read
 * Prints "mode M  ops N  rows R  seconds S  op ms mean X", the same words
 * ztload uses. Exit status 0 on success, 1 on an SQLite error, 2 on bad
 * usage.
 */
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* splitmix64: a number in 1..n */
static long next_key(uint64_t* state, long n) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return 1 + (long)(z % (uint64_t)n);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: sqlite_bench DBFILE count|range|sort SECONDS [KEYS [RANGE]]\n");
    return 2;
  }
  const char* mode = argv[2];
  double seconds = atof(argv[3]);
  long keys = argc > 4 ? atol(argv[4]) : 100000;
  long range = argc > 5 ? atol(argv[5]) : 1000;
  if (seconds <= 0 || seconds > 300 || keys < 1 || range < 1) {
    fprintf(stderr, "sqlite_bench: bad SECONDS, KEYS or RANGE\n");
    return 2;
  }
  const char* sql = NULL;
  if (strcmp(mode, "count") == 0) sql = "SELECT count(*) FROM t";
  if (strcmp(mode, "range") == 0) sql = "SELECT name FROM t WHERE id >= ?1 AND id < ?2";
  if (strcmp(mode, "sort") == 0) sql = "SELECT name FROM t ORDER BY name";
  if (sql == NULL) {
    fprintf(stderr, "sqlite_bench: unknown mode %s\n", mode);
    return 2;
  }

  sqlite3* db = NULL;
  sqlite3_stmt* stmt = NULL;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK ||
      sqlite3_prepare_v2(db, sql, -1, &stmt, NULL) != SQLITE_OK) {
    fprintf(stderr, "sqlite_bench: %s\n", db ? sqlite3_errmsg(db) : "cannot open");
    return 1;
  }
  uint64_t random_state = 1000; /* ztload's seed for -f 1, client 0 */
  long ops = 0;
  long rows = 0;
  size_t bytes = 0; /* what was read, so that nothing is optimised away */
  double start = now_ms();
  double end = start + seconds * 1e3;
  do {
    if (strcmp(mode, "range") == 0) {
      long span = keys - range + 1;
      long low = next_key(&random_state, span < 1 ? 1 : span);
      sqlite3_bind_int64(stmt, 1, low);
      sqlite3_bind_int64(stmt, 2, low + range);
    }
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      bytes += text ? strlen((const char*)text) : 0;
      ++rows;
    }
    if (rc != SQLITE_DONE) {
      fprintf(stderr, "sqlite_bench: %s\n", sqlite3_errmsg(db));
      return 1;
    }
    sqlite3_reset(stmt);
    ++ops;
  } while (now_ms() < end && ops < 1000000);
  double elapsed = now_ms() - start;
  printf("mode %s  ops %ld  rows %ld  seconds %.3f  op ms mean %.4f  (bytes %zu)\n", mode, ops,
         rows, elapsed / 1e3, elapsed / (double)ops, bytes);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return 0;
}
