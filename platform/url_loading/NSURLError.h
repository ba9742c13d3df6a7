// The codes of NSURLErrorDomain errors that URL loading reports.
#pragma once

namespace corvanta {

enum NSURLErrorCode : long {
  NSURLErrorUnknown = -1,
  NSURLErrorCancelled = -999,
  NSURLErrorBadURL = -1000,
  NSURLErrorTimedOut = -1001,
  NSURLErrorUnsupportedURL = -1002,
  NSURLErrorCannotFindHost = -1003,
  NSURLErrorCannotConnectToHost = -1004,
  NSURLErrorNetworkConnectionLost = -1005,
  NSURLErrorHTTPTooManyRedirects = -1007,
  // Plain http refused, as a device's transport security refuses it by default.
  NSURLErrorSecureConnectionRequired = -1022,
  NSURLErrorBadServerResponse = -1011,
  NSURLErrorDataLengthExceedsMaximum = -1103,
  NSURLErrorCannotWriteToFile = -3003,
  NSURLErrorSecureConnectionFailed = -1200,
  NSURLErrorServerCertificateUntrusted = -1202,
};

// The largest body a data task hands over; a longer one fails with
// NSURLErrorDataLengthExceedsMaximum and no data.
inline constexpr long long kMaximumBodyBytes = 50'000'000;

// A body longer than this is kept in an unnamed file in the temporary directory as it
// arrives, and handed over file-backed; a shorter one stays in memory. A body that cannot be
// kept there fails with NSURLErrorCannotWriteToFile.
inline constexpr long long kLargestBodyInMemory = 256 * 1024;

}  // namespace corvanta
