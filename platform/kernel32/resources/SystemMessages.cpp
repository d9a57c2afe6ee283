// The system message table, as data. Texts are those of an English Windows; each ends with
// the line break that Windows' message texts carry.
#include "SystemMessages.h"

namespace npk::res {
namespace {

struct SystemMessage {
    DWORD id;
    const char* text;
};

#define NPK_MSG(id, text) {(DWORD)(id), text "\r\n"}

const SystemMessage kMessages[] = {
    // Win32 errors
    NPK_MSG(0, "The operation completed successfully."),
    NPK_MSG(1, "Incorrect function."),
    NPK_MSG(2, "The system cannot find the file specified."),
    NPK_MSG(3, "The system cannot find the path specified."),
    NPK_MSG(4, "The system cannot open the file."),
    NPK_MSG(5, "Access is denied."),
    NPK_MSG(6, "The handle is invalid."),
    NPK_MSG(8, "Not enough memory resources are available to process this command."),
    NPK_MSG(10, "The environment is incorrect."),
    NPK_MSG(11, "An attempt was made to load a program with an incorrect format."),
    NPK_MSG(12, "The access code is invalid."),
    NPK_MSG(13, "The data is invalid."),
    NPK_MSG(14, "Not enough memory resources are available to complete this operation."),
    NPK_MSG(15, "The system cannot find the drive specified."),
    NPK_MSG(18, "There are no more files."),
    NPK_MSG(19, "The media is write protected."),
    NPK_MSG(21, "The device is not ready."),
    NPK_MSG(23, "Data error (cyclic redundancy check)."),
    NPK_MSG(24, "The program issued a command but the command length is incorrect."),
    NPK_MSG(25, "The drive cannot locate a specific area or track on the disk."),
    NPK_MSG(29, "The system cannot write to the specified device."),
    NPK_MSG(30, "The system cannot read from the specified device."),
    NPK_MSG(31, "A device attached to the system is not functioning."),
    NPK_MSG(32, "The process cannot access the file because it is being used by another process."),
    NPK_MSG(33, "The process cannot access the file because another process has locked a portion of the file."),
    NPK_MSG(38, "Reached the end of the file."),
    NPK_MSG(39, "The disk is full."),
    NPK_MSG(50, "The request is not supported."),
    NPK_MSG(80, "The file exists."),
    NPK_MSG(86, "The specified network password is not correct."),
    NPK_MSG(87, "The parameter is incorrect."),
    NPK_MSG(109, "The pipe has been ended."),
    NPK_MSG(110, "The system cannot open the device or file specified."),
    NPK_MSG(111, "The file name is too long."),
    NPK_MSG(112, "There is not enough space on the disk."),
    NPK_MSG(120, "This function is not supported on this system."),
    NPK_MSG(121, "The semaphore timeout period has expired."),
    NPK_MSG(122, "The data area passed to a system call is too small."),
    NPK_MSG(123, "The filename, directory name, or volume label syntax is incorrect."),
    NPK_MSG(126, "The specified module could not be found."),
    NPK_MSG(127, "The specified procedure could not be found."),
    NPK_MSG(131, "An attempt was made to move the file pointer before the beginning of the file."),
    NPK_MSG(145, "The directory is not empty."),
    NPK_MSG(160, "One or more arguments are not correct."),
    NPK_MSG(161, "The specified path is invalid."),
    NPK_MSG(170, "The requested resource is in use."),
    NPK_MSG(183, "Cannot create a file when that file already exists."),
    NPK_MSG(193, "%1 is not a valid Win32 application."),
    NPK_MSG(203, "The system could not find the environment option that was entered."),
    NPK_MSG(206, "The filename or extension is too long."),
    NPK_MSG(223, "The file size exceeds the limit allowed and cannot be saved."),
    NPK_MSG(234, "More data is available."),
    NPK_MSG(258, "The wait operation timed out."),
    NPK_MSG(259, "No more data is available."),
    NPK_MSG(267, "The directory name is invalid."),
    NPK_MSG(288, "Attempt to release mutex not owned by caller."),
    NPK_MSG(317, "The system cannot find message text for message number 0x%1 in the message file for %2."),
    NPK_MSG(487, "Attempt to access invalid address."),
    NPK_MSG(534, "Arithmetic result exceeded 32 bits."),
    NPK_MSG(997, "Overlapped I/O operation is in progress."),
    NPK_MSG(998, "Invalid access to memory location."),
    NPK_MSG(1004, "Invalid flags."),
    NPK_MSG(1010, "The configuration registry key is invalid."),
    NPK_MSG(1011, "The configuration registry key could not be opened."),
    NPK_MSG(1012, "The configuration registry key could not be read."),
    NPK_MSG(1013, "The configuration registry key could not be written."),
    NPK_MSG(1018, "Illegal operation attempted on a registry key that has been marked for deletion."),
    NPK_MSG(1113, "No mapping for the Unicode character exists in the target multi-byte code page."),
    NPK_MSG(1114, "A dynamic link library (DLL) initialization routine failed."),
    NPK_MSG(1168, "Element not found."),
    NPK_MSG(1223, "The operation was canceled by the user."),
    NPK_MSG(1314, "A required privilege is not held by the client."),
    NPK_MSG(1359, "An internal error occurred."),
    NPK_MSG(1400, "Invalid window handle."),
    NPK_MSG(1460, "This operation returned because the timeout period expired."),
    NPK_MSG(1784, "The supplied user buffer is not valid for the requested operation."),
    NPK_MSG(1812, "The specified image file did not contain a resource section."),
    NPK_MSG(1813, "The specified resource type cannot be found in the image file."),
    NPK_MSG(1814, "The specified resource name cannot be found in the image file."),
    NPK_MSG(1815, "The specified resource language ID cannot be found in the image file."),
    NPK_MSG(1816, "Not enough quota is available to process this command."),
    NPK_MSG(4200, "The GUID passed was not recognized as valid by a WMI data provider."),
    NPK_MSG(4201, "The instance name passed was not recognized as valid by a WMI data provider."),
    NPK_MSG(4206, "The WMI data block or event notification has already been enabled."),

    // COM
    NPK_MSG(0x8000000A, "The data necessary to complete this operation is not yet available."),
    NPK_MSG(0x80004001, "Not implemented"),
    NPK_MSG(0x80004002, "No such interface supported"),
    NPK_MSG(0x80004003, "Invalid pointer"),
    NPK_MSG(0x80004004, "Operation aborted"),
    NPK_MSG(0x80004005, "Unspecified error"),
    NPK_MSG(0x8000FFFF, "Catastrophic failure"),

    // Cryptographic service providers
    NPK_MSG(0x80090001, "Bad UID."),
    NPK_MSG(0x80090002, "Bad Hash."),
    NPK_MSG(0x80090003, "Bad Key."),
    NPK_MSG(0x80090004, "Bad Length."),
    NPK_MSG(0x80090005, "Bad Data."),
    NPK_MSG(0x80090006, "Invalid Signature."),
    NPK_MSG(0x80090007, "Bad Version of provider."),
    NPK_MSG(0x80090008, "Invalid algorithm specified."),
    NPK_MSG(0x80090009, "Invalid flags specified."),
    NPK_MSG(0x8009000A, "Invalid type specified."),
    NPK_MSG(0x8009000B, "Key not valid for use in specified state."),
    NPK_MSG(0x8009000C, "Hash not valid for use in specified state."),
    NPK_MSG(0x8009000D, "Key does not exist."),
    NPK_MSG(0x8009000E, "Insufficient memory available for the operation."),
    NPK_MSG(0x8009000F, "Object already exists."),
    NPK_MSG(0x80090010, "Access denied."),
    NPK_MSG(0x80090011, "Object was not found."),
    NPK_MSG(0x80090012, "Data already encrypted."),
    NPK_MSG(0x80090013, "Invalid provider specified."),
    NPK_MSG(0x80090014, "Invalid provider type specified."),
    NPK_MSG(0x80090015, "Provider's public key is invalid."),
    NPK_MSG(0x80090016, "Keyset does not exist"),
    NPK_MSG(0x80090017, "Provider type not defined."),
    NPK_MSG(0x80090018, "Provider type as registered is invalid."),
    NPK_MSG(0x80090019, "The keyset is not defined."),
    NPK_MSG(0x8009001A, "Keyset as registered is invalid."),
    NPK_MSG(0x8009001B, "Provider type does not match registered value."),
    NPK_MSG(0x8009001C, "The digital signature file is corrupt."),
    NPK_MSG(0x8009001D, "Provider DLL failed to initialize correctly."),
    NPK_MSG(0x8009001E, "Provider DLL could not be found."),
    NPK_MSG(0x8009001F, "The Keyset parameter is invalid."),
    NPK_MSG(0x80090020, "An internal error occurred."),
    NPK_MSG(0x80090021, "A base error occurred."),
    NPK_MSG(0x80090022, "Provider could not perform the action since the context was acquired as silent."),
    NPK_MSG(0x80090023, "The security token does not have storage space available for an additional container."),
    NPK_MSG(0x80090027, "The parameter is incorrect."),
    NPK_MSG(0x80090028, "The buffer supplied to a function was too small."),
    NPK_MSG(0x80090029, "The requested operation is not supported."),

    // Cryptographic messages
    NPK_MSG(0x80091001, "An error occurred while performing an operation on a cryptographic message."),
    NPK_MSG(0x80091002, "Unknown cryptographic algorithm."),
    NPK_MSG(0x80091003, "The object identifier is poorly formatted."),
    NPK_MSG(0x80091004, "Invalid cryptographic message type."),
    NPK_MSG(0x80091005, "Unexpected cryptographic message encoding."),
    NPK_MSG(0x80091006, "The cryptographic message does not contain an expected authenticated attribute."),
    NPK_MSG(0x80091007, "The hash value is not correct."),
    NPK_MSG(0x80091008, "The index value is not valid."),
    NPK_MSG(0x80091009, "The content of the cryptographic message has already been decrypted."),
    NPK_MSG(0x8009100A, "The content of the cryptographic message has not been decrypted yet."),
    NPK_MSG(0x8009100B, "The enveloped-data message does not contain the specified recipient."),
    NPK_MSG(0x8009100C, "Invalid control type."),
    NPK_MSG(0x8009100D, "Invalid issuer and/or serial number."),
    NPK_MSG(0x8009100E, "Cannot find the original signer."),
    NPK_MSG(0x8009100F, "The cryptographic message does not contain all of the requested attributes."),
    NPK_MSG(0x80091010, "The streamed cryptographic message is not ready to return data."),
    NPK_MSG(0x80091011, "The streamed cryptographic message requires more data to complete the decode operation."),

    // Certificates, stores and encoding
    NPK_MSG(0x80092001, "The length specified for the output data was insufficient."),
    NPK_MSG(0x80092002, "An error occurred during encode or decode operation."),
    NPK_MSG(0x80092003, "An error occurred while reading or writing to a file."),
    NPK_MSG(0x80092004, "Cannot find object or property."),
    NPK_MSG(0x80092005, "The object or property already exists."),
    NPK_MSG(0x80092006, "No provider was specified for the store or object."),
    NPK_MSG(0x80092007, "The specified certificate is self signed."),
    NPK_MSG(0x80092008, "The previous certificate or CRL context was deleted."),
    NPK_MSG(0x80092009, "Cannot find the requested object."),
    NPK_MSG(0x8009200A, "The certificate does not have a property that references a private key."),
    NPK_MSG(0x8009200B, "Cannot find the certificate and private key for decryption."),
    NPK_MSG(0x8009200C, "Cannot find the certificate and private key to use for decryption."),
    NPK_MSG(0x8009200D, "Not a cryptographic message or the cryptographic message is not formatted correctly."),
    NPK_MSG(0x8009200E, "The signed cryptographic message does not have a signer for the specified signer index."),
    NPK_MSG(0x8009200F, "Final closure is pending until additional frees or closes."),
    NPK_MSG(0x80092010, "The certificate is revoked."),
    NPK_MSG(0x80092011, "No Dll or exported function was found to verify revocation."),
    NPK_MSG(0x80092012, "The revocation function was unable to check revocation for the certificate."),
    NPK_MSG(0x80092013, "The revocation function was unable to check revocation because the revocation server was offline."),
    NPK_MSG(0x80092014, "The certificate is not in the revocation server's database."),
    NPK_MSG(0x80092020, "The string contains a non-numeric character."),
    NPK_MSG(0x80092021, "The string contains a non-printable character."),
    NPK_MSG(0x80092022, "The string contains a character not in the 7 bit ASCII character set."),
    NPK_MSG(0x80092023, "The string contains an invalid X500 name attribute key, oid, value or delimiter."),
    NPK_MSG(0x80092024, "The dwValueType for the CERT_NAME_VALUE is not one of the character strings.  Most likely it is either a CERT_RDN_ENCODED_BLOB or CERT_RDN_OCTET_STRING."),
    NPK_MSG(0x80092025, "The Put operation cannot continue.  The file needs to be resized.  However, there is already a signature present.  A complete signing operation must be done."),
    NPK_MSG(0x80092026, "The cryptographic operation failed due to a local security option setting."),
    NPK_MSG(0x80092027, "No DLL or exported function was found to verify subject usage."),
    NPK_MSG(0x80092028, "The called function was unable to do a usage check on the subject."),
    NPK_MSG(0x80092029, "Since the server was offline, the called function was unable to complete the usage check."),
    NPK_MSG(0x8009202A, "The subject was not found in a Certificate Trust List (CTL)."),
    NPK_MSG(0x8009202B, "None of the signers of the cryptographic message or certificate trust list is trusted."),
    NPK_MSG(0x8009202C, "The public key's algorithm parameters are missing."),
    NPK_MSG(0x80093000, "OSS Certificate encode/decode error code base\r\n\r\nSee asn1code.h for a definition of the OSS runtime errors. The OSS error values are offset by CRYPT_E_OSS_ERROR."),
    NPK_MSG(0x80093100, "ASN1 Certificate encode/decode error code base. The ASN1 error values are offset by CRYPT_E_ASN1_ERROR."),
    NPK_MSG(0x80093101, "ASN1 internal encode or decode error."),
    NPK_MSG(0x80093102, "ASN1 unexpected end of data."),
    NPK_MSG(0x80093103, "ASN1 corrupted data."),
    NPK_MSG(0x80093104, "ASN1 value too large."),
    NPK_MSG(0x80093106, "ASN1 out of memory."),
    NPK_MSG(0x80093109, "ASN1 bad arguments to function call."),
    NPK_MSG(0x8009310B, "ASN1 bad tag value met."),

    // Trust and certificate verification
    NPK_MSG(0x800B0100, "No signature was present in the subject."),
    NPK_MSG(0x800B0101, "A required certificate is not within its validity period when verifying against the current system clock or the timestamp in the signed file."),
    NPK_MSG(0x800B0109, "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider."),
    NPK_MSG(0x800B010A, "A certificate chain could not be built to a trusted root authority."),
    NPK_MSG(0x800B0110, "The certificate is not valid for the requested usage."),

    // Smart cards
    NPK_MSG(0x8010000C, "The operation requires a Smart Card, but no Smart Card is currently in the device."),
    NPK_MSG(0x80100027, "Access is denied to this file."),
    NPK_MSG(0x80100069, "The smart card has been removed, so that further communication is not possible."),
    NPK_MSG(0x8010006B, "The card cannot be accessed because the wrong PIN was presented."),
    NPK_MSG(0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached."),
    NPK_MSG(0x8010006E, "The action was cancelled by the user."),
};

#undef NPK_MSG

const char* Lookup(DWORD id)
{
    for (const SystemMessage& m : kMessages) {
        if (m.id == id) return m.text;
    }
    return nullptr;
}

}  // namespace

const char* FindSystemMessage(DWORD id)
{
    if (const char* text = Lookup(id)) return text;
    if ((id & 0xFFFF0000u) == 0x80070000u) return Lookup(id & 0xFFFFu);
    return nullptr;
}

}  // namespace npk::res
