// Identifiers of the library's resources, shared by the resource script and the code.
// Plain numbers only: the resource compilers read this file without the SDK headers.
#pragma once

// Error texts: the system's own result codes are 0xA0070000 | identifier.
#define IDS_NO_AVAILABLE_CERT           4097
#define IDS_USER_CANCELED               4098
#define IDS_QUERY_TYPE_NOT_SUPPORTED    4099
#define IDS_BASE64_ENCODE_FAILED        4100
#define IDS_BASE64_DECODE_FAILED        4101
#define IDS_MALICIOUS_PATH              4102
#define IDS_EMPTY_SOURCE_FILE           4103  // no text: the description is the code alone
#define IDS_NO_DETACHED_SIGNER          4104  // no text: the description is the code alone
#define IDS_NO_KEY_USAGE                4128
#define IDS_NO_SUBJECT_KEY_ID           4129
#define IDS_CERT_NOT_FOUND              4149
#define IDS_CERT_NOT_READY              8193
#define IDS_LANGUAGE_NOT_SUPPORTED      8194
#define IDS_CERT_NOT_UNIQUE             8195
#define IDS_INVALID_HASH_ALG            8224
#define IDS_INVALID_CERT_USAGE          8225
#define IDS_INVALID_SIGN_TYPE           8226
#define IDS_INVALID_ENVELOPE_TYPE       8227

// The certificate picker: dialog 101, its list control, PNG images 105 to 107, its strings.
#define IDD_SELECT_CERTIFICATE          101
#define IDC_CERTIFICATE_LIST            1001
#define IDB_PNG_FIRST                   105
#define IDB_SYSTEM_CERTIFICATE          105   // 128 x 128: a certificate sheet with a seal
#define IDB_KEY_CERTIFICATE             106   // 128 x 128: a smart card with its contact chip
#define IDB_CERTIFICATE_FRAME           107   // 62 x 62: a rounded frame, transparent inside
#define IDB_PNG_LAST                    107
#define IDS_SELECT_CERTIFICATE_HEADER   203
#define IDS_ISSUER_FORMAT               205
#define IDS_SERIAL_NUMBER_FORMAT        206
#define IDS_VALID_DATE_FORMAT           207

// Version resource values.
#define NPK_VERSION_BINARY              3,2,0,3
#define NPK_VERSION_TEXT                "3.2.0.3"

// Resource constants of the SDK, spelled out so that no system header is needed.
#define NPK_RT_MANIFEST                 24
#define NPK_MANIFEST_RESOURCE_ID        2   // ISOLATIONAWARE_MANIFEST_RESOURCE_ID
#define NPK_VS_FFI_FILEFLAGSMASK        0x3FL
#define NPK_VOS_NT_WINDOWS32            0x40004L
#define NPK_VFT_DLL                     0x2L
#define NPK_LANG_ENGLISH                0x09
#define NPK_SUBLANG_ENGLISH_US          0x01
#define NPK_LANG_CHINESE                0x04
#define NPK_SUBLANG_CHINESE_SIMPLIFIED  0x02
#define NPK_LANG_KOREAN                 0x12
#define NPK_SUBLANG_KOREAN              0x01
