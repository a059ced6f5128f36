// WinZip AES framing on libcrypto: PBKDF2 and AES-ECB for the key stream, EVP_MAC for HMAC.
#include "archive/zip/qrvZipAes.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/core/qrvZipRecords.h"

namespace {

constexpr int kRounds = 1000;
constexpr size_t kBlock = 16;
constexpr size_t kStreamBlocks = 256;  // key stream made per libcrypto call

int KeySize(uint8_t Strength) { return Strength >= 1 && Strength <= 3 ? 8 + 8 * Strength : 0; }

const EVP_CIPHER* Ecb(uint8_t Strength) {
  return Strength == 1 ? EVP_aes_128_ecb() : Strength == 2 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
}

}  // namespace

bool FindAesExtra(std::string_view Extra, TZipAesInfo& Info) {
  size_t pos = 0;
  while (pos + 4 <= Extra.size()) {
    const auto* p = reinterpret_cast<const uint8_t*>(Extra.data() + pos);
    const uint16_t id = GetLE16(p), len = GetLE16(p + 2);
    if (pos + 4 + len > Extra.size()) return false;
    if (id == xfWinZipAes) {
      if (len < 7 || p[6] != 'A' || p[7] != 'E') return false;
      Info.Version = GetLE16(p + 4);
      Info.Strength = p[8];
      Info.Method = GetLE16(p + 9);
      return (Info.Version == 1 || Info.Version == 2) && KeySize(Info.Strength) > 0;
    }
    pos += 4 + size_t(len);
  }
  return false;
}

std::string AesExtra(const TZipAesInfo& Info) {
  uint8_t x[11];
  PutLE16(x, xfWinZipAes);
  PutLE16(x + 2, 7);
  PutLE16(x + 4, Info.Version);
  x[6] = 'A';
  x[7] = 'E';
  x[8] = Info.Strength;
  PutLE16(x + 9, Info.Method);
  return std::string(reinterpret_cast<const char*>(x), sizeof x);
}

int AesSaltSize(uint8_t Strength) { return KeySize(Strength) / 2; }

int AesOverhead(uint8_t Strength) { return AesSaltSize(Strength) + kAesVerifierSize + kAesMacSize; }

// ---- TZipAes ---------------------------------------------------------------------------------

struct TZipAes::TImpl {
  EVP_CIPHER_CTX* Cipher = nullptr;
  EVP_MAC* MacAlg = nullptr;
  EVP_MAC_CTX* Mac = nullptr;
  uint64_t Counter = 0;         // blocks of key stream used so far
  std::vector<uint8_t> Stream;  // key stream not used yet, from StreamPos
  size_t StreamPos = 0;
  ~TImpl() {
    EVP_CIPHER_CTX_free(Cipher);
    EVP_MAC_CTX_free(Mac);
    EVP_MAC_free(MacAlg);
  }
};

TZipAes::TZipAes() = default;
TZipAes::~TZipAes() = default;

bool TZipAes::Init(const std::string& Password, const uint8_t* Salt, uint8_t Strength, uint8_t* Verifier) {
  const int keySize = KeySize(Strength);
  if (keySize == 0) return false;
  F = std::make_unique<TImpl>();
  std::vector<uint8_t> keys(size_t(2 * keySize + kAesVerifierSize));
  if (!PKCS5_PBKDF2_HMAC_SHA1(Password.data(), int(Password.size()), Salt, AesSaltSize(Strength), kRounds,
                              int(keys.size()), keys.data()))
    return false;
  F->Cipher = EVP_CIPHER_CTX_new();
  F->MacAlg = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  F->Mac = F->MacAlg ? EVP_MAC_CTX_new(F->MacAlg) : nullptr;
  if (!F->Cipher || !F->Mac) return false;
  char digest[] = "SHA1";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (!EVP_EncryptInit_ex(F->Cipher, Ecb(Strength), nullptr, keys.data(), nullptr) ||
      !EVP_CIPHER_CTX_set_padding(F->Cipher, 0) ||
      !EVP_MAC_init(F->Mac, keys.data() + keySize, size_t(keySize), params))
    return false;
  std::memcpy(Verifier, keys.data() + 2 * keySize, kAesVerifierSize);
  return true;
}

// XORs the key stream: AES of a 16-byte little-endian counter that starts at 1.
void TZipAes::Crypt(uint8_t* Buf, size_t N) {
  while (N > 0) {
    if (F->StreamPos == F->Stream.size()) {
      std::vector<uint8_t> counters(kStreamBlocks * kBlock, 0);
      for (size_t b = 0; b < kStreamBlocks; ++b) {
        const uint64_t c = ++F->Counter;
        for (int i = 0; i < 8; ++i) counters[b * kBlock + size_t(i)] = uint8_t(c >> (8 * i));
      }
      F->Stream.resize(counters.size());
      int out = 0;
      EVP_EncryptUpdate(F->Cipher, F->Stream.data(), &out, counters.data(), int(counters.size()));
      F->StreamPos = 0;
    }
    const size_t n = std::min(N, F->Stream.size() - F->StreamPos);
    for (size_t i = 0; i < n; ++i) Buf[i] ^= F->Stream[F->StreamPos + i];
    F->StreamPos += n;
    Buf += n;
    N -= n;
  }
}

void TZipAes::Encrypt(uint8_t* Buf, size_t N) {
  Crypt(Buf, N);
  EVP_MAC_update(F->Mac, Buf, N);
}

void TZipAes::Decrypt(uint8_t* Buf, size_t N) {
  EVP_MAC_update(F->Mac, Buf, N);
  Crypt(Buf, N);
}

void TZipAes::Mac(uint8_t* Out) {
  uint8_t full[EVP_MAX_MD_SIZE];
  size_t len = 0;
  EVP_MAC_final(F->Mac, full, &len, sizeof full);
  std::memcpy(Out, full, kAesMacSize);
}

bool TZipAes::RandomBytes(uint8_t* Buf, size_t N) { return RAND_bytes(Buf, int(N)) == 1; }

// ---- Streams ---------------------------------------------------------------------------------

int32_t TAesReadStream::Read(void* Buffer, int32_t Count) {
  const int32_t want = int32_t(std::min<int64_t>(std::max(Count, 0), FLeft));
  if (want == 0) return 0;
  const int32_t got = FSource.Read(Buffer, want);
  if (got <= 0) return got;
  FAes.Decrypt(static_cast<uint8_t*>(Buffer), size_t(got));
  FLeft -= got;
  FDone += got;
  return got;
}

// Only the position can be asked; bytes already deciphered cannot be given back.
int64_t TAesReadStream::Seek(int64_t Offset, uint16_t Origin) {
  if (Origin == soFromCurrent && Offset == 0) return FDone;
  return Origin == soFromBeginning && Offset <= FDone ? Offset : -1;
}

int32_t TAesWriteStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  std::vector<uint8_t> work(static_cast<const uint8_t*>(Buffer), static_cast<const uint8_t*>(Buffer) + Count);
  FAes.Encrypt(work.data(), work.size());
  FTarget.WriteBuffer(work.data(), Count);
  FDone += Count;
  return Count;
}

int64_t TAesWriteStream::Seek(int64_t Offset, uint16_t Origin) {
  return Origin == soFromCurrent && Offset == 0 ? FDone : -1;
}
