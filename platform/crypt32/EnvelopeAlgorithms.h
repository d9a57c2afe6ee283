// The pieces of an enveloped message shared by the one-call and the streamed functions:
// content keys and ciphers, RSA PKCS#1 v1.5 key transport, recipient identifiers and the
// private key behind a certificate. Messages are written with RC4 or DES-EDE3-CBC; messages
// from elsewhere are read with those and with AES-128/192/256-CBC, DES-CBC and RC2-CBC, the
// content ciphers Windows opens.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <openssl/evp.h>

#include <vector>

namespace npk::envelope {

using Bytes = std::vector<BYTE>;

enum class ContentCipher { Rc4, Des3Cbc, DesCbc, Rc2Cbc, Aes128Cbc, Aes192Cbc, Aes256Cbc };

// A content-encryption key and the parameters that travel with it. The key bytes are wiped
// when it goes away.
struct ContentKey {
    ContentKey() = default;
    ~ContentKey();
    ContentKey(const ContentKey&) = delete;
    ContentKey& operator=(const ContentKey&) = delete;

    ContentCipher cipher = ContentCipher::Rc4;
    Bytes key;   // RC4 and RC2: 5 to 16 bytes (RC4's salt already appended); DES 8, 3DES 24, AES 16/24/32
    Bytes iv;    // one block for the CBC ciphers (8 bytes, AES 16); RC4: empty
    size_t rc2Bits = 0;  // RC2's effective key bits; 0 means the key's own length
};

// The cipher named by dotted text, matched exactly, among those this layer encrypts with (RC4
// and DES-EDE3-CBC); CRYPT_E_UNKNOWN_ALGO otherwise.
HRESULT ContentCipherFromOid(LPCSTR pszOid, ContentCipher* cipher);

// A fresh random key with a random IV: RC4 with 128 bits and no salt, the DES ciphers with
// odd parity, the others at their full length.
HRESULT NewContentKey(ContentCipher cipher, ContentKey& out);

// The AlgorithmIdentifier DER of a key: RC4 with an empty OCTET STRING (a salt of no bytes),
// RC2 with its RC2CBCParameter, the other CBC ciphers with their IV as the OCTET STRING.
Bytes EncodeContentAlgorithm(const ContentKey& key);

// What a message's content algorithm says, before the key is known: the cipher and the
// parameter bytes (RC4 salt, CBC IV), and RC2's effective key bits (0: the key's length).
struct ContentAlgorithm {
    ContentCipher cipher = ContentCipher::Rc4;
    Bytes parameter;
    size_t rc2Bits = 0;
};

// Reads an AlgorithmIdentifier's content (the SEQUENCE's inside): RC4 with absent, NULL or
// OCTET STRING (salt) parameters; DES, 3DES and AES with an OCTET STRING IV of one block; RC2
// with an RC2CBCParameter (SEQUENCE { version INTEGER OPTIONAL, iv OCTET STRING }) or a bare
// IV. CRYPT_E_UNKNOWN_ALGO for any other cipher.
HRESULT DecodeContentAlgorithm(const BYTE* oid, size_t oidLen, const BYTE* params, size_t paramsLen,
                               bool hasParams, ContentAlgorithm& out);

// Combines an unwrapped key with the message's parameters into a content key: RC4 keys of
// 5 to 16 bytes with the salt appended (16 at most), RC2 keys of 5 to 16 bytes, DES, 3DES and
// AES keys of exactly their cipher's length; NTE_BAD_KEY otherwise.
HRESULT ContentKeyFromUnwrapped(const ContentAlgorithm& algorithm, const Bytes& unwrapped, ContentKey& out);

// Incremental content encryption or decryption; the ciphertext of the CBC ciphers carries
// PKCS#7 padding.
class ContentCrypter {
public:
    ContentCrypter() = default;
    ~ContentCrypter();
    ContentCrypter(const ContentCrypter&) = delete;
    ContentCrypter& operator=(const ContentCrypter&) = delete;

    HRESULT Init(const ContentKey& key, bool encrypt);
    // Appends the output of this piece to out.
    HRESULT Update(const BYTE* data, size_t len, Bytes& out);
    // Appends the last output; for decryption NTE_BAD_DATA when the padding is wrong.
    HRESULT Final(Bytes& out);
    // The output size for an input of len bytes once finished (encryption).
    static size_t EncryptedSize(ContentCipher cipher, size_t len);

private:
    EVP_CIPHER_CTX* m_ctx = nullptr;
};

// RSA PKCS#1 v1.5 key transport.
HRESULT WrapContentKey(EVP_PKEY* recipientPublicKey, const Bytes& key, Bytes& out);
HRESULT UnwrapContentKey(EVP_PKEY* privateKey, const BYTE* encrypted, size_t len, Bytes& out);
// The size of a wrapped key: the recipient's modulus in bytes; 0 when the key is not RSA.
size_t WrappedKeySize(EVP_PKEY* recipientPublicKey);

// A recipient's identifiers as the message writes them.
// IssuerAndSerialNumber: SEQUENCE { issuer Name, serialNumber INTEGER } (DER).
Bytes IssuerAndSerialOf(PCCERT_CONTEXT pCert);
// The key identifier of the certificate's subject key identifier extension; false when it has
// none (or a malformed one).
bool SubjectKeyIdOf(PCCERT_CONTEXT pCert, Bytes& keyId);
// The identifier Windows computes for a certificate without that extension: the SHA-1 of its
// public key bits.
bool ComputedKeyIdOf(PCCERT_CONTEXT pCert, Bytes& keyId);

// The private key linked to the certificate (through its key provider information), checked
// against the certificate's public key; null with the last error set when none is available.
EVP_PKEY* CertificatePrivateKey(PCCERT_CONTEXT pCert);

}  // namespace npk::envelope

namespace npk::envelope {

// The private key of a provider handle's key container, exchange or signature pair (caller
// frees), or null with the last error set: NTE_BAD_UID for a handle that is not a live
// provider, NTE_NO_KEY when the container holds no key of that kind.
EVP_PKEY* ProviderPrivateKey(HCRYPTPROV hProv, DWORD keySpec);

// IssuerAndSerialNumber DER from a name and a serial number kept least significant byte first.
Bytes IssuerAndSerialOf(const CERT_NAME_BLOB& issuer, const CRYPT_INTEGER_BLOB& serialLsbFirst);

// A public key from a certificate's SubjectPublicKeyInfo (caller frees), or null.
EVP_PKEY* PublicKeyFromInfo(const CERT_PUBLIC_KEY_INFO& info);
// An RSA public key from the bits of a SubjectPublicKeyInfo (an RSAPublicKey), or null.
EVP_PKEY* RsaPublicKeyFromBits(const CRYPT_BIT_BLOB& bits);

}  // namespace npk::envelope
