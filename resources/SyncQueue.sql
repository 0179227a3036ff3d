-- The change queue: one row per task class or task item, holding what is
-- still to be carried to the cloud and the object's cloud file ID.
CREATE TABLE [SyncQueue] (
  [TaskItemID]        TEXT NOT NULL PRIMARY KEY,
  [TaskItemPath]      TEXT DEFAULT NULL,
  [TaskClassPath]     TEXT DEFAULT NULL,
  [TaskItemPath_Old]  TEXT DEFAULT NULL,
  [TaskClassPath_Old] TEXT DEFAULT NULL,
  [KuaipanFileID]     TEXT DEFAULT NULL,
  [KuaipanModifyTime] DATETIME DEFAULT NULL,
  [SyncType]          INTEGER DEFAULT 0,
  [IsDelete]          INTEGER DEFAULT 0,
  [UpdateDateTime]    DATETIME DEFAULT (datetime('now','localtime'))
);
