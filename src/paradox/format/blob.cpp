#include "paradox/format/blob.h"

#include <algorithm>
#include <cstring>

#include "paradox/format/alloc.h"
#include "paradox/format/crypt.h"

namespace paradox {

namespace {

// The header's fields at their offsets, for FieldDecoder and FieldEncoder.
template <class Header, class At>
void MbHeaderLayout(Header& h, const At& at) {
  at(0x00, h.type);
  at(0x01, h.units);
  at(0x03, h.modCounter);
  at(0x05, h.const05);
  at(0x0B, h.baseBlockSize);
  at(0x0D, h.subBlockSize);
  at(0x0F, h.unknown0F);
  at(0x10, h.chunkSize);
  at(0x11, h.slotsPerBlock);
  at(0x13, h.threshold);
  at(0x29, h.const29);
  at(0x38, h.freeHints);
}

}  // namespace

Status MbHeader::DecodeFrom(ByteSpan in) {
  if (in.size() < kEncodedLength) return Status::Corruption("blob file header cut short");
  MbHeaderLayout(*this, FieldDecoder{in.data()});
  return Status::OK();
}

void MbHeader::EncodeTo(uint8_t* p) const {
  std::memset(p, 0, kEncodedLength);
  MbHeaderLayout(*this, FieldEncoder{p});
}

bool MbHeader::ReadsPlain() const {
  return type == 0 && units == 1 && const05[0] == 0x82 && const05[1] == 0x73;
}

bool MbHeader::ConstantsAsWritten() const {
  const MbHeader fresh;
  return std::equal(std::begin(const05), std::end(const05), std::begin(fresh.const05));
}

void MbBlockHeader::DecodeFrom(const uint8_t* in) {
  type = in[0];
  units = DecodeU16(in + 1);
}

void MbBlockHeader::EncodeTo(uint8_t* out) const {
  out[0] = type;
  EncodeU16(out + 1, units);
}

void MbSingleHeader::DecodeFrom(const uint8_t* in) {
  type = in[0];
  units = DecodeU16(in + 1);
  length = DecodeU32(in + 3);
  modNumber = DecodeU16(in + 7);
}
void MbSingleHeader::EncodeTo(uint8_t* out) const {
  out[0] = type;
  EncodeU16(out + 1, units);
  EncodeU32(out + 3, length);
  EncodeU16(out + 7, modNumber);
}
void MbSlot::DecodeFrom(const uint8_t* in) {
  startChunk = in[0];
  chunks = in[1];
  modNumber = DecodeU16(in + 2);
  lastLength = in[4];
}
void MbSlot::EncodeTo(uint8_t* out) const {
  out[0] = startChunk;
  out[1] = chunks;
  EncodeU16(out + 2, modNumber);
  out[4] = lastLength;
}

// ---------------------------------------------------------------------------

BlobFile::~BlobFile() = default;

Result<std::unique_ptr<BlobFile>> BlobFile::Open(FileSystem* fs, const std::string& path,
                                                 uint32_t key) {
  auto f = fs->Open(path, OpenMode::kRead);
  if (!f.ok()) return f.status();
  std::unique_ptr<BlobFile> b(new BlobFile());
  b->file_ = std::move(f).value();
  b->path_ = path;
  auto size = b->file_->Size();
  if (!size.ok()) return size.status();
  b->size_ = size.value();
  if (b->size_ < kMbUnit)
    return Status::Corruption(PathBaseName(path) + ": blob file of " + std::to_string(b->size_) +
                              " bytes is shorter than its 4096-byte header");
  Bytes head(kMbUnit);
  PARADOX_RETURN_IF_ERROR(b->file_->ReadExact(0, head));
  // Engines do not always scramble the blob file of an encrypted table: decide by
  // whether the header reads as plain.
  PARADOX_RETURN_IF_ERROR(b->header_.DecodeFrom(head));
  if (key != 0 && !b->header_.ReadsPlain()) {
    b->key_ = key;
    DecryptMb(key, head);
    PARADOX_RETURN_IF_ERROR(b->header_.DecodeFrom(head));
  }
  if (b->header_.type != 0)
    return Status::Corruption(PathBaseName(path) + ": blob file header has type " +
                              std::to_string(b->header_.type) + " instead of 0");
  return b;
}

Status BlobFile::ReadRaw(uint64_t offset, MutableByteSpan out) {
  PARADOX_RETURN_IF_ERROR(file_->ReadExact(offset, out));
  if (key_) DecryptMb(key_, out);
  return Status::OK();
}

static std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

Result<Bytes> BlobFile::ReadPointer(const BlobPointer& ptr) {
  Bytes out;
  PARADOX_RETURN_IF_ERROR(ReadPointerTo(ptr, &out));
  return out;
}

Status BlobFile::ReadPointerTo(const BlobPointer& ptr, Bytes* out) {
  return Resolve(ptr, out);
}

Status BlobFile::CheckPointer(const BlobPointer& ptr) {
  return Resolve(ptr, nullptr);
}

Status BlobFile::Resolve(const BlobPointer& ptr, Bytes* out) {
  auto bad = [&](const std::string& why) {
    return Status::Corruption(PathBaseName(path_) + ": blob pointer to " + Hex(ptr.offset) +
                              " (index " + std::to_string(ptr.index) + ", " +
                              std::to_string(ptr.length) + " bytes): " + why);
  };
  if (out) out->clear();
  if (ptr.length == 0) return Status::OK();
  if (ptr.offset < kMbUnit || ptr.offset % kMbUnit != 0)
    return bad("offset is not a 4096-aligned block after the header");
  if (uint64_t(ptr.offset) + kMbUnit > size_) return bad("offset lies beyond the end of the file");
  // Without the kept unit each call has its own buffers, as callers on several threads
  // may share the file.
  Bytes local, localChunk;
  Bytes& unit = keepUnit_ ? unit_ : local;
  Bytes& chunk = keepUnit_ ? chunk_ : localChunk;
  if (!keepUnit_ || unitAt_ != ptr.offset) {
    unit.resize(kMbUnit);
    if (keepUnit_) unitAt_ = UINT64_MAX;  // until the read succeeds
    PARADOX_RETURN_IF_ERROR(ReadRaw(ptr.offset, unit));
    if (keepUnit_) unitAt_ = ptr.offset;
  }
  MbBlockHeader block;
  block.DecodeFrom(unit.data());
  const uint8_t type = block.type;
  if (type == 2) {
    if (ptr.index != 0xFF) return bad("single-blob block needs index 255");
    MbSingleHeader sh;
    sh.DecodeFrom(unit.data());
    if (sh.length != ptr.length) return bad("block holds " + std::to_string(sh.length) + " bytes");
    uint64_t need = uint64_t(sh.length) + MbSingleHeader::kEncodedLength;
    if (sh.units == 0 || uint64_t(sh.units) * kMbUnit < need)
      return bad("block length too small for the blob");
    uint64_t total = uint64_t(sh.units) * kMbUnit;
    if (ptr.offset + total > size_) return bad("block runs past the end of the file");
    if (!out)
      return Status::OK();  // the rest lies inside the file: only a failing disk stops a read
    PARADOX_RETURN_IF_ERROR(TryReserve(out, ptr.length, "a blob value"));
    out->insert(out->end(), unit.begin() + 9,
                unit.begin() + static_cast<long>(std::min<uint64_t>(kMbUnit, need)));
    if (out->size() < ptr.length) {
      // The rest in one read of whole units (an encrypted file decrypts by 256-byte chunks).
      const uint64_t rest = (ptr.length - out->size() + kMbUnit - 1) / kMbUnit * kMbUnit;
      PARADOX_RETURN_IF_ERROR(TryResize(&chunk, size_t(rest), "a blob value"));
      PARADOX_RETURN_IF_ERROR(ReadRaw(ptr.offset + kMbUnit, chunk));
      out->insert(out->end(), chunk.begin(),
                  chunk.begin() + static_cast<long>(ptr.length - out->size()));
    }
    return Status::OK();
  }
  if (type == 3) {
    if (ptr.index >= MbSlot::kCount) return bad("slot index above 63");
    MbSlot slot;
    slot.DecodeFrom(unit.data() + MbSlot::kTableOffset +
                    MbSlot::kEncodedLength * size_t(ptr.index));
    if (!slot.InUse()) return bad("slot is not in use");
    if (slot.lastLength > 16) return bad("slot's last-chunk length above 16");
    if (slot.Length() != ptr.length)
      return bad("slot holds " + std::to_string(slot.Length()) + " bytes");
    uint64_t start = uint64_t(slot.startChunk) * 16;
    if (slot.startChunk < MbSlot::kFirstDataChunk || start + ptr.length > kMbUnit)
      return bad("slot data lies outside the block's data area");
    if (out)
      out->assign(unit.begin() + static_cast<long>(start),
                  unit.begin() + static_cast<long>(start + ptr.length));
    return Status::OK();
  }
  return bad("block has type " + std::to_string(type));
}

Result<Bytes> BlobFile::Read(const BlobRef& ref) {
  if (ref.pointer.length == 0) return Bytes();
  if (ref.InLeader()) return Bytes(ref.leader.begin(), ref.leader.begin() + ref.pointer.length);
  return ReadPointer(ref.pointer);
}

Result<MbBlockInfo> BlobFile::ReadBlockInfo(uint64_t offset) {
  MbBlockInfo info;
  info.offset = offset;
  if (offset % kMbUnit != 0 || offset + kMbUnit > size_) {
    info.valid = false;
    info.problem = "offset outside the file";
    return info;
  }
  Bytes unit(kMbUnit);
  PARADOX_RETURN_IF_ERROR(ReadRaw(offset, unit));
  MbBlockHeader block;
  block.DecodeFrom(unit.data());
  info.type = block.type;
  switch (info.type) {
    case 0:
      if (offset != 0) {
        info.valid = false;
        info.problem = "header block away from offset 0";
      }
      break;
    case 2:
    case 4: {
      info.single.DecodeFrom(unit.data());
      info.units = info.single.units;
      if (info.units == 0) {
        info.valid = false;
        info.problem = "block length 0";
        info.units = 1;
      } else if (offset + uint64_t(info.units) * kMbUnit > size_) {
        info.valid = false;
        info.problem =
            "block of " + std::to_string(info.units) + " units runs past the end of the file";
        info.units = 1;
      } else if (info.type == 2 &&
                 uint64_t(info.single.length) + 9 > uint64_t(info.units) * kMbUnit) {
        info.valid = false;
        info.problem = "blob length exceeds the block";
      }
      break;
    }
    case 3:
      info.slots.resize(MbSlot::kCount);
      for (uint32_t i = 0; i < MbSlot::kCount; ++i)
        info.slots[i].DecodeFrom(unit.data() + MbSlot::kTableOffset + MbSlot::kEncodedLength * i);
      break;
    default:
      info.valid = false;
      info.problem = "unknown block type " + std::to_string(info.type);
  }
  return info;
}

Result<std::vector<MbBlockInfo>> BlobFile::Scan() {
  std::vector<MbBlockInfo> out;
  uint64_t off = kMbUnit;
  while (off + kMbUnit <= size_) {
    auto info = ReadBlockInfo(off);
    if (!info.ok()) return info.status();
    off += uint64_t(info->units) * kMbUnit;
    out.push_back(std::move(info).value());
  }
  return out;
}

// ---------------------------------------------------------------------------

BlobWriter::~BlobWriter() = default;

Result<std::unique_ptr<BlobWriter>> BlobWriter::Create(FileSystem* fs, const std::string& path,
                                                       uint32_t key) {
  auto f = fs->Open(path, OpenMode::kCreate);
  if (!f.ok()) return f.status();
  std::unique_ptr<BlobWriter> w(new BlobWriter());
  w->file_ = std::move(f).value();
  w->key_ = key;
  return w;
}

Status BlobWriter::FlushSub() {
  if (sub_.empty()) return Status::OK();
  if (key_) EncryptMb(key_, sub_);
  PARADOX_RETURN_IF_ERROR(file_->WriteAt(subOffset_, sub_));
  sub_.clear();
  return Status::OK();
}

Result<BlobPointer> BlobWriter::Add(ByteSpan data, uint16_t modNumber) {
  if (data.empty()) return Status::InvalidArgument("empty blob");
  if (data.size() > 0x7FFFFFFF) return Status::InvalidArgument("blob too large");
  BlobPointer ptr;
  ptr.length = static_cast<uint32_t>(data.size());
  ptr.modNumber = modNumber;
  if (data.size() > 2048) {
    uint64_t units = (data.size() + 9 + kMbUnit - 1) / kMbUnit;
    if (units > 0xFFFF || end_ + units * kMbUnit > 0xFFFFFF00ull)
      return Status::InvalidArgument("blob file would exceed its 4 GiB addressing limit");
    Bytes block;
    PARADOX_RETURN_IF_ERROR(TryResize(&block, units * kMbUnit, "a blob block"));
    MbSingleHeader sh;
    sh.units = static_cast<uint16_t>(units);
    sh.length = ptr.length;
    sh.modNumber = modNumber;
    sh.EncodeTo(block.data());
    std::memcpy(block.data() + 9, data.data(), data.size());
    if (key_) EncryptMb(key_, block);
    PARADOX_RETURN_IF_ERROR(file_->WriteAt(end_, block));
    ptr.offset = static_cast<uint32_t>(end_);
    ptr.index = 0xFF;
    end_ += block.size();
    return ptr;
  }
  uint32_t chunks = static_cast<uint32_t>((data.size() + 15) / 16);
  if (sub_.empty() || subNextSlot_ < 0 || subNextChunk_ + chunks > kMbUnit / 16) {
    PARADOX_RETURN_IF_ERROR(FlushSub());
    if (end_ + kMbUnit > 0xFFFFFF00ull)
      return Status::InvalidArgument("blob file would exceed its addressing limit");
    sub_.assign(kMbUnit, 0);
    MbBlockHeader{3, 1}.EncodeTo(sub_.data());
    subOffset_ = end_;
    end_ += kMbUnit;
    subNextChunk_ = MbSlot::kFirstDataChunk;
    subNextSlot_ = 63;
  }
  MbSlot slot;
  slot.startChunk = static_cast<uint8_t>(subNextChunk_);
  slot.chunks = static_cast<uint8_t>(chunks);
  slot.modNumber = modNumber;
  slot.lastLength = static_cast<uint8_t>(data.size() % 16 == 0 ? 16 : data.size() % 16);
  slot.EncodeTo(sub_.data() + MbSlot::kTableOffset + MbSlot::kEncodedLength * size_t(subNextSlot_));
  std::memcpy(sub_.data() + size_t(subNextChunk_) * 16, data.data(), data.size());
  ptr.offset = static_cast<uint32_t>(subOffset_);
  ptr.index = static_cast<uint8_t>(subNextSlot_);
  subNextChunk_ += chunks;
  --subNextSlot_;
  return ptr;
}

Status BlobWriter::Finish(bool sync) {
  PARADOX_RETURN_IF_ERROR(FlushSub());
  Bytes head(kMbUnit, 0);
  MbHeader h;
  h.EncodeTo(head.data());
  if (key_) EncryptMb(key_, head);
  PARADOX_RETURN_IF_ERROR(file_->WriteAt(0, head));
  if (sync) PARADOX_RETURN_IF_ERROR(file_->Sync());
  return file_->Close();
}

}  // namespace paradox
