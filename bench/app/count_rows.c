/* The smallest program that reads the store: opens the SQLite file read-only and prints how many News
   rows it holds. The launch benchmark runs it beside the lunavexa command. */
#include <sqlite3.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    sqlite3* db = NULL;
    if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, NULL) != SQLITE_OK) return 1;
    sqlite3_stmt* count = NULL;
    long long rows = -1;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM \"News\"", -1, &count, NULL) == SQLITE_OK && sqlite3_step(count) == SQLITE_ROW) {
        rows = sqlite3_column_int64(count, 0);
    }
    sqlite3_finalize(count);
    sqlite3_close(db);
    printf("%lld\n", rows);
    return rows >= 0 ? 0 : 1;
}
