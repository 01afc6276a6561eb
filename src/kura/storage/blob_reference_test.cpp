#include "kura/storage/blob_reference.h"

#include <gtest/gtest.h>

#include <vector>

#include "kura/storage/record.h"

namespace kura {
namespace {

TFieldDefinition BlobFieldAt(uint16_t offset) {
  TFieldDefinition d;
  d.Name = "B";
  d.FieldType = TFieldType::Blob;
  d.Size = 1;
  d.DataSize = kBlobReferenceSize;
  d.Offset = offset;
  return d;
}

// The value bytes as the record layout fixes them: first block, then the BLOB id, each
// an int32 little-endian.
TEST(BlobReference, OnDiskBytesAndRoundTrip) {
  struct TCase {
    TBlobReference Reference;
    std::vector<uint8_t> Bytes;
    bool Stored;
    bool Handle;
  } const cases[] = {
      {{0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, false, false},
      {{1, 2}, {1, 0, 0, 0, 2, 0, 0, 0}, true, false},
      {{0x01020304, 0x7FFFFFFF}, {4, 3, 2, 1, 0xFF, 0xFF, 0xFF, 0x7F}, true, false},
      {{-1, 77}, {0xFF, 0xFF, 0xFF, 0xFF, 77, 0, 0, 0}, false, true},
      {{-0x7FFFFFFF, 0}, {1, 0, 0, 0x80, 0, 0, 0, 0}, false, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Reference.FirstBlock);
    std::vector<uint8_t> bytes(kBlobReferenceSize, 0xEE);
    WriteBlobReference(bytes.data(), c.Reference);
    EXPECT_EQ(bytes, c.Bytes);
    const TBlobReference back = ReadBlobReference(c.Bytes.data());
    EXPECT_EQ(back.FirstBlock, c.Reference.FirstBlock);
    EXPECT_EQ(back.BlobId, c.Reference.BlobId);
    EXPECT_EQ(back.IsStored(), c.Stored);
    EXPECT_EQ(back.IsHandle(), c.Handle);
  }
}

// In a record image the reference sits in the field's value bytes; storing it sets the
// null flag exactly when it names a chain, and a handle replaces only the first block.
TEST(BlobReference, InRecordImage) {
  const TFieldDefinition field = BlobFieldAt(14);
  std::vector<uint8_t> record(14 + 1 + kBlobReferenceSize + 2, 0xAA);
  PutBlobReference(record.data(), field, {5, 9});
  EXPECT_EQ(record[14], 1);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 15, record.begin() + 23),
            (std::vector<uint8_t>{5, 0, 0, 0, 9, 0, 0, 0}));
  EXPECT_EQ(record[13], 0xAA);
  EXPECT_EQ(record[23], 0xAA);
  EXPECT_EQ(BlobReferenceOf(record.data(), field).FirstBlock, 5);
  EXPECT_EQ(BlobReferenceOf(record.data(), field).BlobId, 9);

  PutBlobHandle(record.data(), field, -3, false);
  EXPECT_EQ(record[14], 0);
  EXPECT_EQ(BlobReferenceOf(record.data(), field).FirstBlock, -3);
  EXPECT_EQ(BlobReferenceOf(record.data(), field).BlobId, 9);
  PutBlobHandle(record.data(), field, -3, true);
  EXPECT_EQ(record[14], 1);

  PutBlobReference(record.data(), field, {});
  EXPECT_EQ(record[14], 0);
  EXPECT_TRUE(FieldIsNull(record.data(), field));
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 15, record.begin() + 23), std::vector<uint8_t>(8, 0));
}

}  // namespace
}  // namespace kura
