// WinZip AES encryption of ZIP entries (method 99): the 0x9901 extra field, key derivation
// (PBKDF2-HMAC-SHA1, 1000 rounds), AES in WinZip's counter mode (a little-endian block counter
// starting at 1) and the 10-byte HMAC-SHA1 authentication code over the encrypted data.
// The cryptography is OpenSSL's libcrypto; this unit only frames it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "archive/core/qrvStreams.h"

enum : uint16_t { xfWinZipAes = 0x9901, kAesMethod = 99 };
constexpr int kAesVerifierSize = 2;
constexpr int kAesMacSize = 10;

// The content of a 0x9901 extra field.
struct TZipAesInfo {
  uint16_t Version = 2;  // 1: AE-1 (the CRC is stored and checked), 2: AE-2 (CRC 0, not checked)
  uint8_t Strength = 3;  // 1, 2, 3: AES-128, -192, -256
  uint16_t Method = 0;   // the method of the data inside the encryption
};

// Finds a well-formed 0x9901 field in Extra; false when there is none or it is damaged.
bool FindAesExtra(std::string_view Extra, TZipAesInfo& Info);
// The complete 0x9901 field (header and 7 data bytes).
std::string AesExtra(const TZipAesInfo& Info);
// Salt bytes before the data for a strength (8, 12, 16); 0 for an unknown strength.
int AesSaltSize(uint8_t Strength);
// Bytes the encryption adds to the data: salt, verifier and authentication code.
int AesOverhead(uint8_t Strength);

// One entry's cipher state. Init derives the keys; Encrypt and Decrypt transform in place and
// feed the encrypted bytes to the authentication code, which Mac finishes.
class TZipAes {
 public:
  TZipAes();
  ~TZipAes();
  TZipAes(const TZipAes&) = delete;
  TZipAes& operator=(const TZipAes&) = delete;

  // Keys from Password and Salt (AesSaltSize(Strength) bytes); Verifier receives the two
  // password verification bytes. False for an unknown strength or a libcrypto failure.
  bool Init(const std::string& Password, const uint8_t* Salt, uint8_t Strength, uint8_t* Verifier);
  void Encrypt(uint8_t* Buf, size_t N);
  void Decrypt(uint8_t* Buf, size_t N);
  // The authentication code of everything encrypted or decrypted since Init.
  void Mac(uint8_t* Out);
  // Fills Buf with N random bytes from libcrypto (salts).
  static bool RandomBytes(uint8_t* Buf, size_t N);

 private:
  void Crypt(uint8_t* Buf, size_t N);
  struct TImpl;
  std::unique_ptr<TImpl> F;
};

// Reads Limit bytes of an entry's encrypted data from Source, decrypting them.
class TAesReadStream : public TStream32 {
 public:
  TAesReadStream(TStream32& Source, TZipAes& Aes, int64_t Limit) : FSource(Source), FAes(Aes), FLeft(Limit) {}
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  // Bytes of the data not read yet.
  int64_t Left() const { return FLeft; }

 private:
  TStream32& FSource;
  TZipAes& FAes;
  int64_t FLeft;
  int64_t FDone = 0;
};

// Encrypts what is written to it into Target.
class TAesWriteStream : public TStream32 {
 public:
  TAesWriteStream(TStream32& Target, TZipAes& Aes) : FTarget(Target), FAes(Aes) {}
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;

 private:
  TStream32& FTarget;
  TZipAes& FAes;
  int64_t FDone = 0;
};
