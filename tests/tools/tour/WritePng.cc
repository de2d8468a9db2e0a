#include <png.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "tests/tools/tour/RgbImage.h"

namespace tour {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::vector<png_byte> RowBytes(const RgbImage& image, int row) {
  std::vector<png_byte> bytes;
  bytes.reserve(static_cast<std::size_t>(image.width) * 3);
  for (int column = 0; column < image.width; ++column) {
    const uint32_t rgb = image.pixels[static_cast<std::size_t>(row) * image.width + column];
    bytes.push_back(static_cast<png_byte>(rgb >> 16));
    bytes.push_back(static_cast<png_byte>(rgb >> 8));
    bytes.push_back(static_cast<png_byte>(rgb));
  }
  return bytes;
}

}  // namespace

void WritePng(const RgbImage& image, const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw std::runtime_error("cannot write " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("libpng: out of memory");
  }
  // libpng reports errors by a longjmp back into this function; everything it writes from is
  // made before the jump target is set.
  std::vector<std::vector<png_byte>> rows;
  for (int row = 0; row < image.height; ++row) rows.push_back(RowBytes(image, row));
  std::vector<png_bytep> rowPointers;
  for (auto& r : rows) rowPointers.push_back(r.data());
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng failed to write " + path);
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_rows(png, info, rowPointers.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
}

}  // namespace tour
