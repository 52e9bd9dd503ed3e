#include "vk_config.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "vk_env.h"

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view strip(std::string_view s) {
  size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// Copies at most size - 1 bytes of `s` and terminates. REQUIRES: size > 0.
void copy_bounded(std::string_view s, char *out, size_t size) {
  size_t n = s.size() < size - 1 ? s.size() : size - 1;
  if (n > 0) memcpy(out, s.data(), n);
  out[n] = '\0';
}

// Prints the expansion's complaints to standard output, in this reader's
// words.
void print_expand_event(const vk_env_event *e, void *arg) {
  size_t size = *static_cast<const size_t *>(arg);
  if (e->type == VK_ENV_EVENT_VALUE_TOO_LONG) {
    // getenv_vk's code for a value that does not fit its buffer.
    printf("[convert_string_Environment] getenv_vk() error.(ret:%d)\n", -3);
  } else if (e->piece == VK_ENV_PIECE_TEXT) {
    printf("[convert_string_Environment] (result) buffer size over.(need:%d)\n",
           static_cast<int>(e->rest));
  } else {
    printf("[convert_string_Environment] (result) buffer size over.(need:%lu)\n",
           static_cast<unsigned long>(e->piece_size + e->len - size));
  }
  fflush(stdout);
}

// A UTF-8 byte-order mark that an editor may put before the first line.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Opens `file` for reading into *fp if it is a regular file: 0. A device or
// a FIFO would block or never end, so it is refused: -2. -1 when it cannot
// be opened.
int open_regular_file(const char *file, FILE **fp) {
  // O_NONBLOCK: opening a FIFO with no writer must not wait.
  int fd = open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -2;
  }
  *fp = fdopen(fd, "r");
  if (*fp == nullptr) {
    close(fd);
    return -1;
  }
  return 0;
}

// Reads one line, its line feed included, into `line` (size bytes, not
// terminated): at most size - 1 bytes. The rest of a longer line is read
// and dropped, so that the tail of a long line never reads as a line of its
// own. Returns the bytes kept, or -1 at the end of the file.
int read_line(FILE *fp, char *line, size_t size) {
  size_t len = 0;
  int c = EOF;
  while (len < size - 1 && (c = getc(fp)) != EOF) {
    line[len++] = static_cast<char>(c);
    if (c == '\n') return static_cast<int>(len);
  }
  if (len == 0 && c == EOF) return -1;
  if (len == size - 1) {
    while ((c = getc(fp)) != EOF && c != '\n') {
    }
  }
  return static_cast<int>(len);
}

}  // namespace

int getenv_vk(char *buffer, size_t size, const char *name) {
  if (buffer == nullptr || size == 0) return -1;
  buffer[0] = '\0';
  if (name == nullptr) return 0;
  const char *value = getenv(name);
  if (value == nullptr) return 0;
  size_t len = strlen(value);
  if (len >= size) return -3;
  memcpy(buffer, value, len + 1);
  return static_cast<int>(len);
}

int convert_string_Environment(const char *input, char *result, size_t size) {
  if (input == nullptr || result == nullptr || size == 0) return -1;
  vk_env_rules rules{0, VK_CONFIG_ENV_NAME_MAX, print_expand_event, &size};
  size_t len = 0;
  // A result that did not fit is kept as far as it went.
  vk_env_expand(input, strlen(input), &rules, result, size, &len);
  return static_cast<int>(len);
}

namespace {

// Reads the key=value lines of an open file in order and hands each one's
// stripped key and value to `fn` (with its line number, from 1) until `fn`
// returns true.
template <typename Fn>
void scan_lines(FILE *fp, Fn fn) {
  char line[VK_CONFIG_BUFFER_SIZE];
  bool first = true;
  int number = 0;
  int len;
  while ((len = read_line(fp, line, sizeof(line))) >= 0) {
    number++;
    std::string_view text(line, static_cast<size_t>(len));
    if (first && text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      text.remove_prefix(kByteOrderMark.size());
    }
    first = false;
    // A NUL byte inside a line ends the text that is looked at.
    text = text.substr(0, text.find('\0'));
    size_t hash_mark = text.find('#');
    if (hash_mark != std::string_view::npos) text = text.substr(0, hash_mark);
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) continue;
    if (fn(strip(text.substr(0, eq)), strip(text.substr(eq + 1)), number)) break;
  }
}

}  // namespace

int _get_config_string(const char *file, const char *key, char *value, size_t size) {
  if (file == nullptr || key == nullptr || value == nullptr || size == 0) return -1;
  FILE *fp = nullptr;
  int opened = open_regular_file(file, &fp);
  if (opened != 0) return opened;
  std::string_view wanted(key);
  int rc = -1;
  scan_lines(fp, [&](std::string_view k, std::string_view v, int) {
    if (k != wanted) return false;
    copy_bounded(v, value, size);
    rc = 0;
    return true;
  });
  fclose(fp);
  return rc;
}

int vk_config_for_each(const char *file, vk_config_line_fn fn, void *arg) {
  if (file == nullptr || fn == nullptr) return -1;
  FILE *fp = nullptr;
  int opened = open_regular_file(file, &fp);
  if (opened != 0) return opened;
  int count = 0;
  scan_lines(fp, [&](std::string_view k, std::string_view v, int number) {
    char key[VK_CONFIG_BUFFER_SIZE];
    char value[VK_CONFIG_BUFFER_SIZE];
    copy_bounded(k, key, sizeof(key));
    copy_bounded(v, value, sizeof(value));
    fn(key, value, number, arg);
    count++;
    return false;
  });
  fclose(fp);
  return count;
}

int ReadConfStringEx(const char *file, const char *key, char *value, size_t size, const char *def) {
  if (value == nullptr || size == 0) return 0;
  char found[VK_CONFIG_BUFFER_SIZE];
  if (_get_config_string(file, key, found, sizeof(found)) == 0 && found[0] != '\0') {
    convert_string_Environment(found, value, size);
    return 0;
  }
  copy_bounded(def == nullptr ? std::string_view() : std::string_view(def), value, size);
  return 0;
}
