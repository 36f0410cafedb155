// A private directory for one test's files, removed with everything in it.
#ifndef RUX_TEST_TEMP_DIR_H
#define RUX_TEST_TEMP_DIR_H

#include <cstdint>
#include <string>
#include <vector>

namespace rux_test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &root() const { return root_; }
    std::string path(const std::string &name) const { return root_ + "/" + name; }

  private:
    std::string root_;
};

std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
bool file_exists(const std::string &path);
uint64_t file_length(const std::string &path);

}  // namespace rux_test

#endif
