#pragma once

// Names for the texts of the string table (resources/strings.txt). An id names a text that
// the table holds; the status texts are the only ones written with their HTTP code.

namespace tvn {

enum class StringId : int {
    kProgramName = 128,      // "Tarvolin": window titles and message boxes
    kFirewallName = 159,     // the firewall's name in the firewall question
    kFirewallAdvice = 160,   // appended to a start failure when a firewall may be the cause
    kDeleteSharedDocs = 161, // the question of the "uninstall" command word
    // On standard error, before why, when the desktop module does not load (the program then
    // runs headless).
    kDesktopModuleMissing = 162,
    // The settings window's ACME settings: the two labels and the button, their tips, why
    // a value was refused (%s: the directory kept), the file dialog's filter.
    kAcmeDirectoryLabel = 171,
    kAcmeTrustLabel = 172,
    kAcmeTrustChoose = 173,
    kAcmeDirectoryTip = 174,
    kAcmeTrustTip = 175,
    kAcmeDirectoryRefused = 176,
    kAcmeTrustRefused = 177,
    kAcmeTrustFilter = 178,
    kDefaultDocuments = 3001,  // the default documents of a folder, LF-separated
    kDefaultPrograms = 3002,   // the default programs of a folder, LF-separated
    kHttpDateFormat = 3020,    // strftime format of an HTTP date
    kCannotStartServer = 3023, // no listener could be made (or no such port)
    kPortInUse = 3024,         // %d: the port
    kCannotListen = 3025,      // %d: the port
    kDefaultRootName = 3026,   // "htdocs"
    kServerHeader = 3030,      // the Server header's value; empty leaves the header out
    // Why an upload was refused, behind the status text.
    kUploadNotTaken = 3040,      // the folder has no ".upload" file
    kUploadNeedsPassword = 3041, // a visitor from outside, and the folder has no ".pass"
    kUploadThroughRelay = 3042,  // uploads do not pass through the relay
    kUploadBadName = 3043,       // the name cannot be a file name here
    kUploadTooLarge = 3044,      // over the folder's maxsize
    kUploadNoRoom = 3045,        // the disk would be left too full
    kUploadFolderFull = 3046,    // the folder holds maxfiles files
    kUploadBeyondLength = 3047,  // a piece past the length a resumable upload announced
    kUploadBusy = 3048,          // another piece of the same resumable upload is being written
    kUploadOtherOffset = 3049,   // a piece for another offset than the upload holds
    // The upload area of a folder listing.
    kUploadAreaTitle = 3050,    // its heading
    kUploadAreaChoose = 3051,   // the file button and drop zone
    kUploadAreaLimit = 3052,    // %s: the folder's largest file, readable ("4.0 GB")
    kUploadAreaAll = 3053,      // the label of the bar of all files together
    kUploadAreaWaiting = 3054,  // a file not started yet
    kUploadAreaSent = 3055,     // a file stored whole
    kUploadAreaFailed = 3056,   // a file refused or given up on; the server's reason follows
    kUploadAreaRetrying = 3057, // a broken transfer about to go on from the server's offset
    // The search box of a folder listing and what a search page says under it.
    kSearchLabel = 3060,  // the box's placeholder and label
    kSearchButton = 3061, // its button
    kSearchNone = 3062,   // no name below the folder holds the words
    kSearchCut = 3063,    // a bound ended the search before every folder was looked at
    // The link of a folder listing to the folder as one ZIP archive.
    kDownloadAll = 3064,
};

// The status lines of answers: the table holds their texts under 4000 + the HTTP code.
enum class HttpStatus : int {
    kNone = 0, // no status line written yet
    kOk = 4200,
    kCreated = 4201,
    kNoContent = 4204,
    kPartialContent = 4206,
    kMovedPermanently = 4301,
    kRedirection = 4302,
    kNotModified = 4304,
    kBadRequest = 4400,
    kUnauthorized = 4401,
    kForbidden = 4403,
    kNotFound = 4404,
    kConflict = 4409,
    kLengthRequired = 4411,
    kPreconditionFailed = 4412,
    kContentTooLarge = 4413,
    kUnsupportedMediaType = 4415,
    kRangeNotSatisfiable = 4416,
    kInternalError = 4500,
    kNotImplemented = 4501,
    kServiceUnavailable = 4503,
    kInsufficientStorage = 4507,
};

// The status of HTTP code `code` (400, 501, ...); Bad Request for a code without a text.
constexpr HttpStatus StatusForCode(int code) {
    switch (code) {
    case 200:
        return HttpStatus::kOk;
    case 301:
        return HttpStatus::kMovedPermanently;
    case 302:
        return HttpStatus::kRedirection;
    case 304:
        return HttpStatus::kNotModified;
    case 401:
        return HttpStatus::kUnauthorized;
    case 403:
        return HttpStatus::kForbidden;
    case 404:
        return HttpStatus::kNotFound;
    case 411:
        return HttpStatus::kLengthRequired;
    case 413:
        return HttpStatus::kContentTooLarge;
    case 501:
        return HttpStatus::kNotImplemented;
    case 500:
        return HttpStatus::kInternalError;
    case 503:
        return HttpStatus::kServiceUnavailable;
    case 507:
        return HttpStatus::kInsufficientStorage;
    default:
        return HttpStatus::kBadRequest;
    }
}

} // namespace tvn
