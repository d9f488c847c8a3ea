// The SQLite storage of an indexed file: one database file at the file's path, in WAL
// mode with synchronous FULL, each insert its own committed transaction flushed to the
// disk before it returns, so that a record whose insert returned survives the end of
// the process, however abrupt, and a power loss; several processes can use the file
// at once (each waits for the others' writes, 30 s in all at most per operation).
//
// The database holds the records whole, as BLOBs, in a table in the order they were
// written; an index over the bytes of each key (unique for the primary key, and for
// an alternate key without duplicates), read in the index's order (BLOBs compare byte
// by byte, so records come back in ascending byte order of the primary key); and the
// record length and key table it was created with. Its header carries this layer's
// application id and a mark of that shape and of the layout, and both are checked
// before SQLite is given the file: a file of another kind, shape or layout is never
// opened by SQLite, so it stays exactly as it was, with no side file beside it.
//
// The file is one file under one name. A file with several names (hard links) is
// refused: each name would get its own side files, and two writers through two names
// would damage it. Before each insert the name is checked to still name the open file;
// when it was removed or replaced, the storage lets go of the lost file (taking its
// side files away from the name) and opens the name again as the first open did. No
// open waits on a fifo or a device, even one swapped in between two checks: SQLite's
// own opens go through a watch that refuses anything but the file that was checked.
#pragma once

#include <cstdint>

#include "storage/storage.h"

namespace storage {

// The application id in the header of every file this storage creates ("RTIX").
inline constexpr uint32_t kSqliteApplicationId = 0x52544958;

// How long one operation (an open, an insert, a read, a close) waits in all for other
// processes' locks before it fails with kFailed.
inline constexpr int kSqliteBusyTimeoutMs = 30000;

// The layout of the tables in the files this storage makes: part of the mark in their
// header, so that a file of another layout is refused like one of another shape.
inline constexpr uint32_t kSqliteLayout = 2;

// The mark of a shape kept in the header (as its user version), under this layout.
uint32_t shape_mark(const FileShape& shape);

// Opens request.name as a path; see open_storage for the statuses. An input-output
// open of a missing file creates it, complete, under its name in one step, so that
// processes opening it at the same moment all find the same whole file.
Opened open_sqlite(const StorageRequest& request);

// Copies the article file at source, with what its WAL holds, to destination, which
// must not exist: one consistent state of the file, taken while other processes go on
// writing to it. The copy is a file of this storage of the same shape, linked in place
// only once whole and read back, as a reader opens it, with the same records as that
// state. kOk; kNotFound, kDenied or kWrongShape for the source; kFailed otherwise (the
// destination exists, side files lie at its name, it names a side file of a file, its
// folder is missing, the copy failed or reads back different).
Result backup_sqlite(std::string_view source, std::string_view destination, const FileShape& shape);

}  // namespace storage
