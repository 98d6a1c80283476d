#include "gif_writer.h"

namespace vellix_demo {

namespace {

int const kRed = 6;
int const kGreen = 7;
int const kBlue = 6;

// 4 x 4 Bayer thresholds, centred on zero, in steps of 1/16.
int const kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

int Level(int value, int levels, int threshold) {
  // The dither moves the value by up to half a palette step either way.
  int step = 255 / (levels - 1);
  int v = value + (threshold - 8) * step / 16;
  int l = (v * (levels - 1) + 127) / 255;
  return l < 0 ? 0 : (l >= levels ? levels - 1 : l);
}

// Packs variable-length codes into GIF sub-blocks.
class BitSink {
 public:
  explicit BitSink(FILE* f) : f_(f) {}
  void Put(int code, int bits) {
    acc_ |= static_cast<uint32_t>(code) << count_;
    count_ += bits;
    while (count_ >= 8) {
      Emit(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      count_ -= 8;
    }
  }
  void Flush() {
    if (count_ > 0)
      Emit(static_cast<uint8_t>(acc_));
    acc_ = 0;
    count_ = 0;
    if (!block_.empty())
      WriteBlock();
    fputc(0, f_);
  }

 private:
  void Emit(uint8_t b) {
    block_.push_back(b);
    if (block_.size() == 255)
      WriteBlock();
  }
  void WriteBlock() {
    fputc(static_cast<int>(block_.size()), f_);
    fwrite(block_.data(), 1, block_.size(), f_);
    block_.clear();
  }

  FILE* f_;
  uint32_t acc_ = 0;
  int count_ = 0;
  std::vector<uint8_t> block_;
};

}  // namespace

GifWriter::GifWriter() : file_(nullptr), width_(0), height_(0), ok_(false) {}

GifWriter::~GifWriter() {
  if (file_ != nullptr)
    Close();
}

void GifWriter::Byte(int b) {
  fputc(b & 0xff, file_);
}

void GifWriter::Word(int w) {
  Byte(w);
  Byte(w >> 8);
}

bool GifWriter::Open(std::string const& path, int width, int height) {
  file_ = fopen(path.c_str(), "wb");
  if (file_ == nullptr)
    return false;
  width_ = width;
  height_ = height;
  ok_ = true;
  fwrite("GIF89a", 1, 6, file_);
  Word(width);
  Word(height);
  Byte(0xf7);  // global colour table of 256 entries
  Byte(0);
  Byte(0);
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    int g = 0;
    int b = 0;
    if (i < kRed * kGreen * kBlue) {
      r = (i / (kGreen * kBlue)) * 255 / (kRed - 1);
      g = (i / kBlue % kGreen) * 255 / (kGreen - 1);
      b = (i % kBlue) * 255 / (kBlue - 1);
    }
    Byte(r);
    Byte(g);
    Byte(b);
  }
  // Loop for ever.
  Byte(0x21);
  Byte(0xff);
  Byte(11);
  fwrite("NETSCAPE2.0", 1, 11, file_);
  Byte(3);
  Byte(1);
  Word(0);
  Byte(0);
  return true;
}

bool GifWriter::AddFrame(std::vector<uint8_t> const& rgba, int delay) {
  if (file_ == nullptr || rgba.size() != static_cast<size_t>(width_) * height_ * 4)
    return false;
  Byte(0x21);
  Byte(0xf9);
  Byte(4);
  Byte(0);
  Word(delay);
  Byte(0);
  Byte(0);
  Byte(0x2c);
  Word(0);
  Word(0);
  Word(width_);
  Word(height_);
  Byte(0);
  std::vector<uint8_t> indices(static_cast<size_t>(width_) * height_);
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      size_t i = static_cast<size_t>(y) * width_ + x;
      int t = kBayer[y & 3][x & 3];
      int r = Level(rgba[i * 4], kRed, t);
      int g = Level(rgba[i * 4 + 1], kGreen, t);
      int b = Level(rgba[i * 4 + 2], kBlue, t);
      indices[i] = static_cast<uint8_t>((r * kGreen + g) * kBlue + b);
    }
  }
  Lzw(indices);
  if (ferror(file_))
    ok_ = false;
  return ok_;
}

void GifWriter::Lzw(std::vector<uint8_t> const& indices) {
  int const minBits = 8;
  int const clear = 1 << minBits;
  int const end = clear + 1;
  Byte(minBits);
  BitSink sink(file_);
  // Dictionary: (prefix code, next index) -> code, as a dense table per prefix.
  std::vector<int> table(4096 * 256, -1);
  int next = end + 1;
  int bits = minBits + 1;
  sink.Put(clear, bits);
  int prefix = -1;
  for (uint8_t k : indices) {
    if (prefix < 0) {
      prefix = k;
      continue;
    }
    int& slot = table[static_cast<size_t>(prefix) * 256 + k];
    if (slot >= 0) {
      prefix = slot;
      continue;
    }
    sink.Put(prefix, bits);
    if (next < 4096) {
      slot = next++;
      if (next > (1 << bits) && bits < 12)
        ++bits;
    } else {
      // Full: start a new dictionary.
      sink.Put(clear, bits);
      std::fill(table.begin(), table.end(), -1);
      next = end + 1;
      bits = minBits + 1;
    }
    prefix = k;
  }
  if (prefix >= 0)
    sink.Put(prefix, bits);
  sink.Put(end, bits);
  sink.Flush();
}

bool GifWriter::Close() {
  if (file_ == nullptr)
    return false;
  Byte(0x3b);
  bool ok = ok_ && !ferror(file_);
  ok = fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

}  // namespace vellix_demo
