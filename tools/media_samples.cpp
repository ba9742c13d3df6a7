#include "tools/media_samples.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string_view>
#include <utility>
#include <vector>

namespace corvanta::media {
namespace {

void put8(std::string& out, unsigned value) {
  out.push_back(static_cast<char>(value & 0xFF));
}
void putBE16(std::string& out, unsigned value) {
  put8(out, value >> 8);
  put8(out, value);
}
void putBE32(std::string& out, std::uint32_t value) {
  putBE16(out, value >> 16);
  putBE16(out, value);
}
void putLE16(std::string& out, unsigned value) {
  put8(out, value);
  put8(out, value >> 8);
}
void putLE32(std::string& out, std::uint32_t value) {
  putLE16(out, value & 0xFFFF);
  putLE16(out, value >> 16);
}
void putZeros(std::string& out, std::size_t count) {
  out.append(count, '\0');
}

// Writes fields most significant bit first, as MPEG headers and JPEG entropy data are laid out.
class BitWriter {
 public:
  void put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      _current = static_cast<std::uint8_t>((_current << 1) | ((value >> i) & 1));
      if (++_used == 8) flushByte();
    }
  }
  // Completes the last byte with `fill` bits (JPEG pads with ones, MPEG with zeros).
  std::string finish(unsigned fill) {
    while (_used != 0) put(fill, 1);
    return std::move(_bytes);
  }

 private:
  void flushByte() {
    _bytes.push_back(static_cast<char>(_current));
    _current = 0;
    _used = 0;
  }
  std::string _bytes;
  std::uint8_t _current = 0;
  int _used = 0;
};

// ---- PNG ----

std::uint32_t crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(std::string_view bytes) {
  std::uint32_t a = 1, b = 0;
  for (unsigned char byte : bytes) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

// A zlib stream of stored deflate blocks: valid everywhere, no compressor needed.
std::string zlibStored(std::string_view raw) {
  std::string out = "\x78\x01";
  std::size_t offset = 0;
  do {
    const std::size_t length = std::min<std::size_t>(raw.size() - offset, 65535);
    const bool last = offset + length == raw.size();
    put8(out, last ? 1 : 0);
    putLE16(out, static_cast<unsigned>(length));
    putLE16(out, static_cast<unsigned>(~length & 0xFFFF));
    out.append(raw.substr(offset, length));
    offset += length;
  } while (offset < raw.size());
  putBE32(out, adler32(raw));
  return out;
}

void pngChunk(std::string& out, std::string_view type, std::string_view data) {
  putBE32(out, static_cast<std::uint32_t>(data.size()));
  std::string typed(type);
  typed.append(data);
  out.append(typed);
  putBE32(out, crc32(typed));
}

// ---- JPEG ----

constexpr int kJpegSide = 64;

// Zigzag position -> index in the 8x8 block, walking the anti-diagonals alternately.
std::array<int, 64> zigzagOrder() {
  std::array<int, 64> order{};
  int k = 0;
  for (int s = 0; s < 15; ++s) {
    const int low = std::max(0, s - 7), high = std::min(s, 7);
    for (int i = 0; i <= high - low; ++i) {
      const int row = (s % 2 == 0) ? high - i : low + i;
      order[k++] = row * 8 + (s - row);
    }
  }
  return order;
}

constexpr std::array<int, 64> kLuminanceQuant = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

// Huffman tables of fixed-length codes: every DC category gets a 4-bit code and every AC
// (run, size) symbol an 8-bit one. Canonical assignment then makes a symbol's code its index
// in the table, which keeps the encoder trivial while staying plain baseline JPEG.
std::vector<std::uint8_t> acSymbols() {
  std::vector<std::uint8_t> symbols = {0x00, 0xF0};
  for (int run = 0; run < 16; ++run)
    for (int size = 1; size <= 10; ++size)
      symbols.push_back(static_cast<std::uint8_t>(run << 4 | size));
  return symbols;
}

int bitLength(int value) {
  int magnitude = value < 0 ? -value : value, bits = 0;
  while (magnitude) {
    ++bits;
    magnitude >>= 1;
  }
  return bits;
}

// A coefficient's extra bits: the value itself, or one less than it when negative.
std::uint32_t extraBits(int value, int bits) {
  return static_cast<std::uint32_t>(value < 0 ? value + (1 << bits) - 1 : value);
}

std::array<int, 64> forwardDCT(const std::array<double, 64>& pixels) {
  std::array<int, 64> quantized{};
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      double sum = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          sum += pixels[y * 8 + x] * std::cos((2 * x + 1) * u * std::numbers::pi / 16) *
                 std::cos((2 * y + 1) * v * std::numbers::pi / 16);
      const double cu = u == 0 ? std::numbers::sqrt2 / 2 : 1,
                   cv = v == 0 ? std::numbers::sqrt2 / 2 : 1;
      const double coefficient = 0.25 * cu * cv * sum;
      quantized[v * 8 + u] =
          static_cast<int>(std::lround(coefficient / kLuminanceQuant[v * 8 + u]));
    }
  }
  return quantized;
}

void encodeBlock(BitWriter& bits, const std::array<int, 64>& block,
                 const std::array<int, 64>& zigzag, int& previousDC) {
  const int diff = block[0] - previousDC;
  previousDC = block[0];
  const int dcSize = bitLength(diff);
  bits.put(static_cast<std::uint32_t>(dcSize), 4);
  if (dcSize) bits.put(extraBits(diff, dcSize), dcSize);

  const std::vector<std::uint8_t> symbols = acSymbols();
  auto putSymbol = [&](std::uint8_t symbol) {
    for (std::size_t i = 0; i < symbols.size(); ++i)
      if (symbols[i] == symbol) bits.put(static_cast<std::uint32_t>(i), 8);
  };
  int run = 0;
  for (int k = 1; k < 64; ++k) {
    const int value = block[zigzag[k]];
    if (value == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) putSymbol(0xF0);
    const int size = bitLength(value);
    putSymbol(static_cast<std::uint8_t>(run << 4 | size));
    bits.put(extraBits(value, size), size);
    run = 0;
  }
  if (run) putSymbol(0x00);
}

void jpegSegment(std::string& out, unsigned marker, std::string_view body) {
  putBE16(out, marker);
  putBE16(out, static_cast<unsigned>(body.size() + 2));
  out.append(body);
}

std::string jpegHuffmanTable(unsigned classAndId, int codeLength, std::string_view symbols) {
  std::string body;
  put8(body, classAndId);
  for (int length = 1; length <= 16; ++length)
    put8(body, length == codeLength ? static_cast<unsigned>(symbols.size()) : 0);
  body.append(symbols);
  return body;
}

std::string jpegEntropyData() {
  const std::array<int, 64> zigzag = zigzagOrder();
  BitWriter bits;
  int previousDC = 0;
  for (int by = 0; by < kJpegSide; by += 8) {
    for (int bx = 0; bx < kJpegSide; bx += 8) {
      std::array<double, 64> pixels{};
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) pixels[y * 8 + x] = (bx + x + by + y) * 2.0 - 128.0;
      encodeBlock(bits, forwardDCT(pixels), zigzag, previousDC);
    }
  }
  std::string stuffed;
  for (char byte : bits.finish(1)) {
    stuffed.push_back(byte);
    if (static_cast<unsigned char>(byte) == 0xFF) stuffed.push_back('\0');
  }
  return stuffed;
}

// ---- GIF ----

constexpr int kGifSide = 64;
constexpr int kGifMinCodeSize = 7;  // 128 colours

// LZW data that never grows past its first code width: a clear code every 100 literals keeps
// the decoder's table below 256 entries, so every code is 8 bits.
std::string gifImageData(const std::vector<std::uint8_t>& pixels) {
  const unsigned clear = 1u << kGifMinCodeSize, end = clear + 1;
  std::vector<unsigned> codes;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    if (i % 100 == 0) codes.push_back(clear);
    codes.push_back(pixels[i]);
  }
  codes.push_back(end);
  std::string packed;
  std::uint32_t buffer = 0;
  int used = 0;
  for (unsigned code : codes) {
    buffer |= code << used;
    used += kGifMinCodeSize + 1;
    for (; used >= 8; used -= 8, buffer >>= 8) put8(packed, buffer);
  }
  if (used) put8(packed, buffer);

  std::string out;
  put8(out, kGifMinCodeSize);
  for (std::size_t offset = 0; offset < packed.size(); offset += 255) {
    const std::size_t length = std::min<std::size_t>(255, packed.size() - offset);
    put8(out, static_cast<unsigned>(length));
    out.append(packed, offset, length);
  }
  put8(out, 0);
  return out;
}

void gifFrame(std::string& out, const std::vector<std::uint8_t>& pixels) {
  out += "\x21\xF9\x04";
  put8(out, 0x04);   // keep the frame in place until the next one
  putLE16(out, 50);  // half a second
  put8(out, 0);
  put8(out, 0);
  put8(out, 0x2C);
  putLE16(out, 0);
  putLE16(out, 0);
  putLE16(out, kGifSide);
  putLE16(out, kGifSide);
  put8(out, 0);
  out += gifImageData(pixels);
}

// ---- Audio ----

constexpr unsigned kToneRate = 8000;
constexpr unsigned kToneSamples = kToneRate / 4;

std::vector<std::int16_t> tone() {
  std::vector<std::int16_t> samples(kToneSamples);
  for (unsigned i = 0; i < kToneSamples; ++i)
    samples[i] = static_cast<std::int16_t>(
        std::lround(8000 * std::sin(2 * std::numbers::pi * 440 * i / kToneRate)));
  return samples;
}

// MPEG-1 audio, no CRC; 32 kbit/s, 48 kHz, mono (a rate layers II and III both allow).
// Each frame carries 1152 samples in 96 bytes; zero side information (layer III) or zero
// bit allocation (layer II) means no coded data, which decodes to silence.
std::string mpegAudioSilence(int layer) {
  constexpr int frameBytes = 144 * 32000 / 48000;
  constexpr int frames = 42;
  BitWriter header;
  header.put(0x7FF, 11);     // frame sync
  header.put(3, 2);          // MPEG-1
  header.put(4 - layer, 2);  // layer, coded inverted
  header.put(1, 1);          // no CRC
  header.put(1, 4);          // 32 kbit/s, first in either layer's table
  header.put(1, 2);          // 48 kHz
  header.put(0, 2);          // no padding, private bit clear
  header.put(3, 2);          // mono
  header.put(0, 6);          // mode extension, copyright, original, emphasis
  const std::string frameHeader = header.finish(0);
  std::string out;
  for (int i = 0; i < frames; ++i) {
    out += frameHeader;
    putZeros(out, frameBytes - frameHeader.size());
  }
  return out;
}

// ID3v2 sizes keep the top bit of each byte clear, so no size can look like a frame sync.
void putSynchsafe(std::string& out, std::uint32_t value) {
  for (int shift = 21; shift >= 0; shift -= 7) put8(out, (value >> shift) & 0x7F);
}

std::string id3Frame(std::string_view id, std::string_view data) {
  std::string out(id);
  putSynchsafe(out, static_cast<std::uint32_t>(data.size()));
  putBE16(out, 0);  // no flags
  out.append(data);
  return out;
}

// An 80-bit IEEE extended float, as AIFF stores its sample rate.
void putExtended(std::string& out, unsigned value) {
  int exponent = 0;
  while ((value >> (exponent + 1)) != 0) ++exponent;
  putBE16(out, 16383 + exponent);
  const std::uint64_t mantissa = static_cast<std::uint64_t>(value) << (63 - exponent);
  putBE32(out, static_cast<std::uint32_t>(mantissa >> 32));
  putBE32(out, static_cast<std::uint32_t>(mantissa));
}

// ---- MPEG-4 ----

std::string box(std::string_view type, std::string_view payload) {
  std::string out;
  putBE32(out, static_cast<std::uint32_t>(payload.size() + 8));
  out.append(type);
  out.append(payload);
  return out;
}

std::string fullBox(std::string_view type, std::string_view payload) {
  std::string body(4, '\0');  // version 0, no flags
  body.append(payload);
  return box(type, body);
}

void putMatrix(std::string& out) {
  for (std::uint32_t value : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
    putBE32(out, value);
}

std::string movieHeader() {
  std::string body;
  putBE32(body, 0);  // creation time
  putBE32(body, 0);  // modification time
  putBE32(body, 1000);
  putBE32(body, 1000);  // one second
  putBE32(body, 0x00010000);
  putBE16(body, 0x0100);
  putZeros(body, 10);
  putMatrix(body);
  putZeros(body, 24);
  putBE32(body, 2);  // next track id
  return fullBox("mvhd", body);
}

std::string track(bool video) {
  std::string header(4, '\0');
  header[3] = 3;  // enabled, in movie
  putBE32(header, 0);
  putBE32(header, 0);
  putBE32(header, 1);  // track id
  putZeros(header, 4);
  putBE32(header, 1000);
  putZeros(header, 8);
  putBE32(header, 0);  // layer, alternate group
  putBE16(header, video ? 0 : 0x0100);
  putZeros(header, 2);
  putMatrix(header);
  putBE32(header, video ? 64u << 16 : 0);
  putBE32(header, video ? 64u << 16 : 0);

  std::string mediaHeader;
  putBE32(mediaHeader, 0);
  putBE32(mediaHeader, 0);
  putBE32(mediaHeader, video ? 25 : 48000);
  putBE32(mediaHeader, 0);
  putBE16(mediaHeader, 0x55C4);  // "und"
  putBE16(mediaHeader, 0);

  std::string handler(4, '\0');
  handler += video ? "vide" : "soun";
  putZeros(handler, 12);
  handler += video ? "VideoHandler" : "SoundHandler";
  handler.push_back('\0');

  std::string empty;
  putBE32(empty, 0);  // entry count
  std::string sampleSizes;
  putBE32(sampleSizes, 0);
  putBE32(sampleSizes, 0);
  const std::string table =
      box("stbl", fullBox("stsd", empty) + fullBox("stts", empty) + fullBox("stsc", empty) +
                      fullBox("stsz", sampleSizes) + fullBox("stco", empty));
  std::string selfReference;
  putBE32(selfReference, 1);
  selfReference += box("url ", std::string("\0\0\0\1", 4));
  const std::string mediaKindHeader =
      video ? box("vmhd", std::string("\0\0\0\1", 4) + std::string(8, '\0'))
            : fullBox("smhd", std::string(4, '\0'));
  const std::string info =
      box("minf", mediaKindHeader + box("dinf", fullBox("dref", selfReference)) + table);
  return box("trak", box("tkhd", header) + box("mdia", fullBox("mdhd", mediaHeader) +
                                                           fullBox("hdlr", handler) + info));
}

std::string mpeg4(std::string_view brand, std::initializer_list<std::string_view> compatible,
                  bool video) {
  std::string types(brand);
  putBE32(types, video ? 0x200 : 0);
  for (std::string_view b : compatible) types.append(b);
  return box("ftyp", types) + box("moov", movieHeader() + track(video)) + box("mdat", "");
}

// ---- MPEG program streams ----

std::string startCode(unsigned code) {
  return std::string("\0\0\1", 3) + static_cast<char>(code);
}

std::string sequenceHeader() {
  BitWriter bits;
  bits.put(64, 12);    // width
  bits.put(64, 12);    // height
  bits.put(1, 4);      // square pixels
  bits.put(3, 4);      // 25 frames per second
  bits.put(2500, 18);  // 1 Mbit/s in 400 bit/s units
  bits.put(1, 1);      // marker
  bits.put(20, 10);    // VBV buffer
  bits.put(0, 3);      // not constrained, default quantiser matrices
  return startCode(0xB3) + bits.finish(0);
}

std::string sequenceExtension() {
  BitWriter bits;
  bits.put(1, 4);     // sequence extension
  bits.put(0x48, 8);  // main profile, main level
  bits.put(1, 1);     // progressive
  bits.put(1, 2);     // 4:2:0
  bits.put(0, 4);     // size extensions
  bits.put(0, 12);    // bit rate extension
  bits.put(1, 1);     // marker
  bits.put(0, 8);     // VBV extension
  bits.put(0, 1);     // low delay
  bits.put(0, 7);     // frame rate extension
  return startCode(0xB5) + bits.finish(0);
}

std::string videoPacket(std::string_view header, std::string_view payload) {
  std::string out = startCode(0xE0);
  putBE16(out, static_cast<unsigned>(header.size() + payload.size()));
  out.append(header);
  out.append(payload);
  return out;
}

// ---- AVI ----

std::string riffChunk(std::string_view id, std::string_view data) {
  std::string out(id);
  putLE32(out, static_cast<std::uint32_t>(data.size()));
  out.append(data);
  if (data.size() % 2) out.push_back('\0');
  return out;
}

std::string riffList(std::string_view type, std::string_view content) {
  return riffChunk("LIST", std::string(type) + std::string(content));
}

}  // namespace

std::string png(int side) {
  std::string raw;
  for (int y = 0; y < side; ++y) {
    put8(raw, 0);  // no filter
    for (int x = 0; x < side; ++x) {
      put8(raw, x * 256 / side);
      put8(raw, y * 256 / side);
      put8(raw, 255 - (x + y) * 128 / side);
    }
  }
  std::string header;
  putBE32(header, side);
  putBE32(header, side);
  header += "\x08\x02";  // 8 bits per channel, RGB
  putZeros(header, 3);
  std::string out = "\x89PNG\r\n\x1A\n";
  pngChunk(out, "IHDR", header);
  pngChunk(out, "IDAT", zlibStored(raw));
  pngChunk(out, "IEND", "");
  return out;
}

std::string jpeg() {
  std::string out = "\xFF\xD8";
  jpegSegment(out, 0xFFE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));

  const std::array<int, 64> zigzag = zigzagOrder();
  std::string quant(1, '\0');
  for (int k = 0; k < 64; ++k) put8(quant, kLuminanceQuant[zigzag[k]]);
  jpegSegment(out, 0xFFDB, quant);

  std::string frame;
  put8(frame, 8);
  putBE16(frame, kJpegSide);
  putBE16(frame, kJpegSide);
  frame += "\x01\x01\x11";  // one component, id 1, no subsampling
  put8(frame, 0);           // quantisation table 0
  jpegSegment(out, 0xFFC0, frame);

  std::string dcSymbols;
  for (unsigned category = 0; category < 12; ++category) put8(dcSymbols, category);
  jpegSegment(out, 0xFFC4, jpegHuffmanTable(0x00, 4, dcSymbols));
  const std::vector<std::uint8_t> ac = acSymbols();
  jpegSegment(out, 0xFFC4, jpegHuffmanTable(0x10, 8, std::string(ac.begin(), ac.end())));

  jpegSegment(out, 0xFFDA, std::string("\x01\x01\x00\x00\x3F\x00", 6));
  out += jpegEntropyData();
  out += "\xFF\xD9";
  return out;
}

std::string gif() {
  std::string out = "GIF89a";
  putLE16(out, kGifSide);
  putLE16(out, kGifSide);
  put8(out, 0xF6);  // a global table of 128 colours
  put8(out, 0);
  put8(out, 0);
  for (int i = 0; i < 128; ++i) {
    put8(out, i * 2);
    put8(out, 255 - i * 2);
    put8(out, 160);
  }
  out += "\x21\xFF\x0BNETSCAPE2.0\x03\x01";  // loop forever
  putLE16(out, 0);
  put8(out, 0);

  std::vector<std::uint8_t> first, second;
  for (int y = 0; y < kGifSide; ++y) {
    for (int x = 0; x < kGifSide; ++x) {
      first.push_back(static_cast<std::uint8_t>(x + y));
      second.push_back(static_cast<std::uint8_t>(x - y + kGifSide - 1));
    }
  }
  gifFrame(out, first);
  gifFrame(out, second);
  out += "\x3B";
  return out;
}

std::string mp3() {
  return mpegAudioSilence(3);
}

std::string mp3WithCoverArt(int coverSide, bool footer) {
  std::string title(1, '\3');  // UTF-8
  title += "Tone";
  std::string picture(1, '\0');  // Latin-1 description
  picture += std::string("image/png\0", 10);
  put8(picture, 3);  // front cover
  put8(picture, 0);  // empty description
  picture += png(coverSide);
  std::string frames = id3Frame("TIT2", title) + id3Frame("APIC", picture);
  // A tag with a footer may not be padded; without one, encoders leave room to edit in place.
  if (!footer) putZeros(frames, 1024);

  std::string header = "ID3";
  put8(header, 4);  // version 2.4.0
  put8(header, 0);
  put8(header, footer ? 0x10 : 0);
  putSynchsafe(header, static_cast<std::uint32_t>(frames.size()));
  std::string tag = header + frames;
  if (footer) tag += "3DI" + header.substr(3);
  return tag + mp3();
}

std::string mp2() {
  return mpegAudioSilence(2);
}

std::string wav() {
  const std::vector<std::int16_t> samples = tone();
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::string out = "RIFF";
  putLE32(out, 36 + dataBytes);
  out += "WAVEfmt ";
  putLE32(out, 16);
  putLE16(out, 1);  // PCM
  putLE16(out, 1);  // mono
  putLE32(out, kToneRate);
  putLE32(out, kToneRate * 2);
  putLE16(out, 2);
  putLE16(out, 16);
  out += "data";
  putLE32(out, dataBytes);
  for (std::int16_t sample : samples) putLE16(out, static_cast<std::uint16_t>(sample));
  return out;
}

std::string aiff() {
  const std::vector<std::int16_t> samples = tone();
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::string common;
  putBE16(common, 1);
  putBE32(common, static_cast<std::uint32_t>(samples.size()));
  putBE16(common, 16);
  putExtended(common, kToneRate);
  std::string sound;
  putBE32(sound, 0);  // offset
  putBE32(sound, 0);  // block size
  for (std::int16_t sample : samples) putBE16(sound, static_cast<std::uint16_t>(sample));

  std::string out = "FORM";
  putBE32(out, static_cast<std::uint32_t>(4 + 8 + common.size() + 8 + 8 + dataBytes));
  out += "AIFFCOMM";
  putBE32(out, static_cast<std::uint32_t>(common.size()));
  out += common;
  out += "SSND";
  putBE32(out, static_cast<std::uint32_t>(sound.size()));
  out += sound;
  return out;
}

std::string aifc() {
  const std::vector<std::int16_t> samples = tone();
  std::string common;
  putBE16(common, 1);
  putBE32(common, static_cast<std::uint32_t>(samples.size()));
  putBE16(common, 16);
  putExtended(common, kToneRate);
  common += "NONE";
  common += std::string("\x0Enot compressed\0", 16);  // a Pascal string, padded to even
  std::string version;
  putBE32(version, 0xA2805140);  // the one AIFF-C version
  std::string sound;
  putBE32(sound, 0);
  putBE32(sound, 0);
  for (std::int16_t sample : samples) putBE16(sound, static_cast<std::uint16_t>(sample));

  std::string content = "AIFC";
  for (const auto& [id, data] : {std::pair<std::string_view, const std::string&>{"FVER", version},
                                 {"COMM", common},
                                 {"SSND", sound}}) {
    content.append(id);
    putBE32(content, static_cast<std::uint32_t>(data.size()));
    content += data;
  }
  std::string out = "FORM";
  putBE32(out, static_cast<std::uint32_t>(content.size()));
  return out + content;
}

std::string m4a(std::string_view brand) {
  return mpeg4(brand, {brand, "mp42", "isom"}, false);
}

std::string mp4(std::string_view brand) {
  return mpeg4(brand, {brand, "iso2", "mp41"}, true);
}

std::string mpeg() {
  std::string out = startCode(0xBA);
  BitWriter pack;
  pack.put(0x2, 4);  // MPEG-1
  pack.put(0, 3);    // clock reference, in three parts each closed by a marker
  pack.put(1, 1);
  pack.put(0, 15);
  pack.put(1, 1);
  pack.put(0, 15);
  pack.put(1, 1);
  pack.put(1, 1);
  pack.put(2520, 22);  // mux rate
  pack.put(1, 1);
  out += pack.finish(0);
  out += videoPacket("\x0F", sequenceHeader() + startCode(0xB7));  // no time stamps
  out += startCode(0xB9);
  return out;
}

std::string mpeg2() {
  std::string out = startCode(0xBA);
  BitWriter pack;
  pack.put(0x1, 2);  // MPEG-2
  pack.put(0, 3);
  pack.put(1, 1);
  pack.put(0, 15);
  pack.put(1, 1);
  pack.put(0, 15);
  pack.put(1, 1);
  pack.put(0, 9);  // clock reference extension
  pack.put(1, 1);
  pack.put(2520, 22);
  pack.put(3, 2);     // markers
  pack.put(0x1F, 5);  // reserved
  pack.put(0, 3);     // no stuffing
  out += pack.finish(0);
  out += videoPacket(std::string("\x80\x00\x00", 3),
                     sequenceHeader() + sequenceExtension() + startCode(0xB7));
  out += startCode(0xB9);
  return out;
}

std::string avi() {
  constexpr std::uint32_t side = 16, frameBytes = side * side * 3;
  std::string mainHeader;
  for (std::uint32_t value : {40000u, frameBytes * 25, 0u, 0x10u /* has index */, 1u, 0u, 1u,
                              frameBytes, side, side, 0u, 0u, 0u, 0u})
    putLE32(mainHeader, value);

  std::string streamHeader = "vids";
  putZeros(streamHeader, 4);  // uncompressed
  putLE32(streamHeader, 0);
  putLE32(streamHeader, 0);  // priority, language
  for (std::uint32_t value : {0u, 1u, 25u, 0u, 1u, frameBytes, 0xFFFFFFFFu, 0u})
    putLE32(streamHeader, value);
  for (unsigned value : {0u, 0u, side, side}) putLE16(streamHeader, value);

  std::string format;
  putLE32(format, 40);
  putLE32(format, side);
  putLE32(format, side);
  putLE16(format, 1);
  putLE16(format, 24);
  for (std::uint32_t value : {0u, frameBytes, 0u, 0u, 0u, 0u}) putLE32(format, value);

  std::string frame;
  for (std::uint32_t y = 0; y < side; ++y)
    for (std::uint32_t x = 0; x < side; ++x) {
      put8(frame, 40 + y * 12);
      put8(frame, 200 - x * 8);
      put8(frame, x * 16);
    }

  std::string index = "00db";
  putLE32(index, 0x10);  // key frame
  putLE32(index, 4);     // offset from the "movi" tag
  putLE32(index, frameBytes);

  const std::string content =
      riffList("hdrl",
               riffChunk("avih", mainHeader) +
                   riffList("strl", riffChunk("strh", streamHeader) + riffChunk("strf", format))) +
      riffList("movi", riffChunk("00db", frame)) + riffChunk("idx1", index);
  return riffChunk("RIFF", "AVI " + content);
}

std::string bmp() {
  std::string out = "BM";
  putLE32(out, 54 + 16);
  putLE32(out, 0);
  putLE32(out, 54);
  putLE32(out, 40);
  putLE32(out, 2);
  putLE32(out, 2);
  putLE16(out, 1);
  putLE16(out, 24);
  for (std::uint32_t value : {0u, 16u, 2835u, 2835u, 0u, 0u}) putLE32(out, value);
  for (int row = 0; row < 2; ++row) {
    out += row ? std::string("\xFF\x00\x00\x00\xFF\x00", 6)
               : std::string("\x00\x00\xFF\xFF\xFF\xFF", 6);
    putZeros(out, 2);  // rows are padded to four bytes
  }
  return out;
}

}  // namespace corvanta::media
