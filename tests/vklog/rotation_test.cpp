// File output: directory creation, the size-triggered backup ring, its
// continuation across restarts and onto another file system, clean-up and
// rotation failure.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "vklog_test_util.h"
#include "vklog_utils.h"

using vklogtest::file_size;
using vklogtest::VklogFixture;

namespace {

size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

dev_t device_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_dev : 0;
}

// A directory on another file system than `near`: a tmpfs mounted on
// `where` (unmounted by the destructor) or, when mounting is refused, a new
// directory in /dev/shm if that is another file system. `path` is empty
// when neither works; `why` then says why.
struct other_fs_dir {
  std::string path;
  std::string why;
  bool mounted = false;

  other_fs_dir(const std::string &near, const std::string &where, const char *options) {
    if (mkdir(where.c_str(), 0750) == 0 &&
        mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0) {
      path = where;
      mounted = true;
      return;
    }
    why = std::string("mount -t tmpfs: ") + strerror(errno);
    char shm[] = "/dev/shm/vklog-test-XXXXXX";
    if (device_of("/dev/shm") != device_of(near) && mkdtemp(shm) != nullptr) path = shm;
  }
  ~other_fs_dir() {
    if (mounted) {
      umount2(path.c_str(), MNT_DETACH);
    } else if (!path.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  }
};

class VklogRotation : public VklogFixture {
 protected:
  std::string logs() const { return path("logs"); }
  std::string log_file() const { return logs() + "/rot.log"; }
  std::string backup(int n) const { return log_file() + "." + std::to_string(n); }

  std::string config(unsigned count, const std::string &extra = "") const {
    return "[rot]\noutput_type=file\nlevel=<info\nheader_flag=level\nlimit_file_size=1\n"
           "directory=" +
           logs() + "\nbackup_file_count=" + std::to_string(count) + "\n" + extra;
  }

  // Logs ~1 KiB lines tagged `tag` until the file is rotated away; the
  // number of lines written (bounded).
  int log_until_rotation(vklog_t *h, const std::string &tag) {
    std::string pad(1000, 'p');
    long long prev = file_size(log_file());
    for (int i = 0; i < 3000; i++) {
      VKLOG(h, VL_INFO, "%s %d %s\n", tag.c_str(), i, pad.c_str());
      long long now = file_size(log_file());
      if (now < prev) {
        // Backups are told apart by modification time; keep them apart
        // even on file systems with coarse timestamps.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return i + 1;
      }
      prev = now;
    }
    return -1;
  }

  bool holds(int n, const std::string &tag) {
    return vktest::read_file(backup(n)).find(tag + " 0 ") != std::string::npos;
  }
};

}  // namespace

TEST_F(VklogRotation, RingOverwritesTheOldestAndContinuesAfterARestart) {
  ASSERT_EQ(0, load(config(3)));
  vklog_t *h = vklog_get_category("rot");
  ASSERT_NE(nullptr, h);
  for (int seg = 1; seg <= 4; seg++) {
    int lines = log_until_rotation(h, "seg" + std::to_string(seg));
    ASSERT_GT(lines, 1000) << seg;  // a full MiB before each rotation
  }
  // The fourth rotation overwrote ".1".
  EXPECT_TRUE(holds(1, "seg4"));
  EXPECT_TRUE(holds(2, "seg2"));
  EXPECT_TRUE(holds(3, "seg3"));
  EXPECT_FALSE(vktest::file_exists(backup(4)));
  EXPECT_GE(file_size(backup(1)), 1 << 20);

  // A restart forgets the ring position; the next rotation follows the
  // newest backup (".1"), so it writes ".2", not ".1".
  vklog_test_reset();
  ASSERT_EQ(0, load(config(3)));
  h = vklog_get_category("rot");
  ASSERT_NE(nullptr, h);
  ASSERT_GT(log_until_rotation(h, "seg5"), 0);
  EXPECT_TRUE(holds(1, "seg4"));
  EXPECT_TRUE(holds(2, "seg5"));
  EXPECT_TRUE(holds(3, "seg3"));
}

// A size check that falls while another thread rotates is owed to the next
// line, not dropped: the file is rotated within one line of the limit
// rather than another 64 KiB later.
TEST_F(VklogRotation, ASizeCheckSkippedDuringARotationIsMadeByTheNextLine) {
  ASSERT_EQ(0, load(config(3)));
  vklog_t *h = vklog_get_category("rot");
  std::string pad(1000, 'p');
  int i = 0;
  while (file_size(log_file()) < (1 << 20) + 2048 && i < 3000) {
    // Past the limit with every size check seen as "another thread rotates".
    h->output_file.backup_work.store(1);
    VKLOG(h, VL_INFO, "fill %d %s\n", i++, pad.c_str());
  }
  h->output_file.backup_work.store(0);
  ASSERT_FALSE(vktest::file_exists(backup(1)));
  VKLOG(h, VL_INFO, "next %s\n", pad.c_str());
  EXPECT_TRUE(vktest::file_exists(backup(1))) << "the owed size check was dropped";
  EXPECT_LT(file_size(log_file()), 4096);
}

TEST_F(VklogRotation, BackupCountZeroDeletesTheLogFile) {
  ASSERT_EQ(0, load(config(0)));
  vklog_t *h = vklog_get_category("rot");
  ASSERT_GT(log_until_rotation(h, "gone"), 1000);
  EXPECT_FALSE(vktest::file_exists(log_file()));
  EXPECT_FALSE(vktest::file_exists(backup(1)));
  VKLOG(h, VL_INFO, "fresh\n");
  EXPECT_EQ("[INFO]fresh\n", vktest::read_file(log_file()));
}

TEST_F(VklogRotation, BackupDirectoryIsMadeAndUsed) {
  ASSERT_EQ(0, load(config(2, "backup_directory=" + path("old") + "\n")));
  vklog_t *h = vklog_get_category("rot");
  ASSERT_GT(log_until_rotation(h, "moved"), 1000);
  EXPECT_GE(file_size(path("old/rot.log.1")), 1 << 20);
  EXPECT_FALSE(vktest::file_exists(backup(1)));
}

TEST_F(VklogRotation, FailedRotationSwitchesTheCategoryOffOnceUntilAReload) {
  // Every backup name is taken by a non-empty directory, so the old backup
  // cannot be deleted.
  ASSERT_EQ(0, mkdir(logs().c_str(), 0750));
  for (int n = 1; n <= 3; n++) {
    ASSERT_EQ(0, mkdir(backup(n).c_str(), 0750));
    ASSERT_TRUE(vktest::write_file(backup(n) + "/keep", "x"));
  }
  ASSERT_EQ(0, load(config(3)));
  vklog_t *h = vklog_get_category("rot");
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, log_until_rotation(h, "stuck"));
  long long size = file_size(log_file());
  VKLOG(h, VL_INFO, "after\n");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, h->activate.load());
  EXPECT_EQ(-3, h->last_error.load());
  EXPECT_GE(size, 1 << 20);
  EXPECT_EQ(size, file_size(log_file()));
  const std::string off = "category[rot] is off until its configuration is reloaded.\n";
  EXPECT_EQ(1u, count_of(err, off)) << err;
  // Enabled again, it tries the rotation at once instead of growing past
  // its limit, and fails the same way.
  vklog_enable(h);
  testing::internal::CaptureStderr();
  VKLOG(h, VL_INFO, "retry\n");
  EXPECT_EQ(1u, count_of(testing::internal::GetCapturedStderr(), off));
  EXPECT_EQ(0, h->activate.load());

  // The mended configuration is reloaded: the category writes again and
  // its next measured line rotates the full file.
  ASSERT_TRUE(vktest::write_file(conf, config(3, "backup_directory=" + path("old") + "\n")));
  int e = 0;
  ASSERT_EQ(0, vklog_reload(&e));
  EXPECT_EQ(1, h->activate.load());
  EXPECT_GT(log_until_rotation(h, "back"), 0);
  EXPECT_GE(file_size(path("old/rot.log.1")), size);
}

TEST_F(VklogRotation, BackupDirectoryOnAnotherFileSystemGetsACopy) {
  other_fs_dir far(dir.path, path("far"), "size=8m");
  if (far.path.empty())
    GTEST_SKIP() << "no directory on another file system (" << far.why << ", /dev/shm is on the "
                 << "same one): rotation across file systems is not tested";
  ASSERT_NE(device_of(dir.path), device_of(far.path));
  std::string old = far.path + "/old";
  ASSERT_EQ(0, load(config(2, "backup_directory=" + old + "\n")));
  vklog_t *h = vklog_get_category("rot");
  for (int seg = 1; seg <= 3; seg++)
    ASSERT_GT(log_until_rotation(h, "seg" + std::to_string(seg)), 1000) << seg;
  // The third rotation replaced ".1"; each copy is whole and the log
  // directory keeps nothing but the fresh file.
  EXPECT_NE(std::string::npos, vktest::read_file(old + "/rot.log.1").find("seg3 0 "));
  EXPECT_NE(std::string::npos, vktest::read_file(old + "/rot.log.2").find("seg2 0 "));
  EXPECT_GE(file_size(old + "/rot.log.1"), 1 << 20);
  EXPECT_EQ(1, h->activate.load());
  VKLOG(h, VL_INFO, "fresh\n");
  EXPECT_EQ("[INFO]fresh\n", vktest::read_file(log_file()));
  EXPECT_FALSE(vktest::file_exists(backup(1)));

  if (!far.mounted) GTEST_SKIP() << far.why << ": a full backup file system is not tested";
  // A backup file system too small for the file: the partial copy is
  // removed, the log file stays whole and the category is switched off.
  other_fs_dir tiny(dir.path, path("tiny"), "size=256k");
  ASSERT_TRUE(tiny.mounted);
  ASSERT_TRUE(vktest::write_file(conf, config(2, "backup_directory=" + tiny.path + "\n")));
  int e = 0;
  ASSERT_EQ(0, vklog_reload(&e));
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, log_until_rotation(h, "full"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, h->activate.load());
  EXPECT_FALSE(vktest::file_exists(tiny.path + "/rot.log.1"));
  EXPECT_GE(file_size(log_file()), 1 << 20);
  EXPECT_NE(std::string::npos, err.find(strerror(ENOSPC))) << err;
}

TEST_F(VklogRotation, ReloadWithFewerBackupsRemovesThoseBeyondTheNewCount) {
  ASSERT_EQ(0, load(config(5)));
  ASSERT_EQ(0, mkdir(logs().c_str(), 0750));
  for (int n = 1; n <= 5; n++) ASSERT_TRUE(vktest::write_file(backup(n), "b"));
  ASSERT_TRUE(vktest::write_file(conf, config(2)));
  int e = 0;
  ASSERT_EQ(0, vklog_reload(&e));
  EXPECT_TRUE(vktest::file_exists(backup(1)));
  EXPECT_TRUE(vktest::file_exists(backup(2)));
  for (int n = 3; n <= 5; n++) EXPECT_FALSE(vktest::file_exists(backup(n))) << n;
  ASSERT_TRUE(vktest::write_file(backup(4), "b"));
  EXPECT_EQ(1, vklog_cleanup_backup_file(vklog_get_category("rot")));
  EXPECT_FALSE(vktest::file_exists(backup(4)));
}

TEST_F(VklogFixture, OutputDirectoryIsMadeOneLevelDeepWithItsMode) {
  ASSERT_EQ(0, load("[one]\noutput_type=file\nlevel=info\nheader_flag=level\nfile_permission=600\n"
                    "directory=" +
                    path("new") +
                    "\n[two]\noutput_type=file\nlevel=info\ndirectory=" + path("a/b") + "\n"));
  VKLOG(vklog_get_category("one"), VL_INFO, "made\n");
  struct stat st;
  ASSERT_EQ(0, stat(path("new").c_str(), &st));
  EXPECT_EQ(0750u, st.st_mode & 0777);
  ASSERT_EQ(0, stat(path("new/one.log").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ("[INFO]made\n", vktest::read_file(path("new/one.log")));
  vklog_t *two = vklog_get_category("two");
  VKLOG(two, VL_INFO, "lost\n");
  EXPECT_EQ(-1, two->last_error);
  EXPECT_FALSE(vktest::file_exists(path("a")));
  EXPECT_EQ(0, vklog_make_directory_with_parents(path("a/b").c_str(), path("a/b").size()));
  VKLOG(two, VL_INFO, "kept\n");
  EXPECT_NE(std::string::npos, vktest::read_file(path("a/b/two.log")).find("kept"));
  EXPECT_EQ(-1, vklog_make_directory_with_parents("", 0));
  EXPECT_EQ(-1, vklog_make_directory_with_parents(std::string(4095, 'd').c_str(), 4095));
}

TEST_F(VklogFixture, LogDirectoryBlockedByAFileIsReportedOnceAsNotMade) {
  ASSERT_TRUE(vktest::write_file(path("plain"), "x"));
  // "under": the directory's parent is a file; "over": its own name is.
  ASSERT_EQ(0, load("[under]\noutput_type=file\nlevel=info\ndirectory=" + path("plain/logs") +
                    "\n[over]\noutput_type=file\nlevel=info\ndirectory=" + path("plain") + "\n"));
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; i++) {
    VKLOG(vklog_get_category("under"), VL_INFO, "lost\n");
    VKLOG(vklog_get_category("over"), VL_INFO, "lost\n");
  }
  std::string err = testing::internal::GetCapturedStderr();
  std::string cause = ".[(" + std::to_string(ENOTDIR) + ")" + strerror(ENOTDIR) + "]\n";
  for (const char *name : {"under", "over"}) {
    const vklog_t *h = vklog_get_category(name);
    EXPECT_EQ(-1, h->last_error.load()) << name;
    std::string line = "out dir[" + std::string(h->config->out_dir) + "] is not make" + cause;
    EXPECT_EQ(1u, count_of(err, line)) << name << ": " << err;
    EXPECT_EQ(-3, vklog_make_directory_with_parents(h->config->out_dir, strlen(h->config->out_dir)))
        << name;
  }
}

namespace {

void touch_at(const std::string &p, time_t sec) {
  ASSERT_TRUE(vktest::write_file(p, "x"));
  struct timespec t[2] = {{sec, 0}, {sec, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, p.c_str(), t, 0));
}

}  // namespace

TEST_F(VklogFixture, NewestBackupWinsAndOnlyWholeNumbersCount) {
  std::string base = path("app.log");
  touch_at(base + ".1", 1000);
  touch_at(base + ".2", 3000);
  touch_at(base + ".3", 2000);
  touch_at(base + ".10", 3000);  // same time as ".2": the larger number wins
  for (const char *other : {".0", ".x", ".2a", ".", ".1.bak", ".99999999999999999999"})
    touch_at(base + other, 9000);
  touch_at(path("other.log.7"), 9000);
  EXPECT_EQ(10, vl_get_last_backup_index(base.c_str()));
  EXPECT_EQ(0, vl_get_last_backup_index(path("none.log").c_str()));
  EXPECT_EQ(-6, vl_get_last_backup_index(path("nodir/app.log").c_str()));
  EXPECT_EQ(-1, vl_get_last_backup_index((dir.path + "/").c_str()));

  // A path without a directory is relative to the working directory.
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(dir.path.c_str()));
  int relative = vl_get_last_backup_index("app.log");
  int removed = vl_cleanup_backup_file("app.log", 2);
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ(10, relative);
  EXPECT_EQ(2, removed);  // ".3" and ".10"
  EXPECT_TRUE(vktest::file_exists(base + ".2"));
  EXPECT_FALSE(vktest::file_exists(base + ".10"));
  EXPECT_TRUE(vktest::file_exists(base + ".2a"));
}
