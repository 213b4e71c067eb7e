// The error numbers both provider clients report for each TLS failure: the numbers are in their
// logs and the users' notes, so they must not move.
#include <gtest/gtest.h>

#include "pop3_client/pop3_client_error.h"
#include "smtp_client/smtp_client_error.h"

namespace quelma::net {
namespace {

TEST(TlsErrorNumbers, EachFailureKeepsItsNumberInBothClients) {
  using pop3_client::Pop3ClientError;
  using smtp_client::SmtpClientError;
  const struct Case {
    TlsFailure failure;
    Pop3ClientError pop3;
    SmtpClientError smtp;
  } cases[] = {
      {TlsFailure::kNone, Pop3ClientError::kNone, SmtpClientError::kNone},
      {TlsFailure::kHandshake, Pop3ClientError::kTlsHandshake, SmtpClientError::kTlsHandshake},
      {TlsFailure::kUntrusted, Pop3ClientError::kTlsUntrusted, SmtpClientError::kTlsUntrusted},
      {TlsFailure::kExpired, Pop3ClientError::kTlsExpired, SmtpClientError::kTlsExpired},
      {TlsFailure::kHostName, Pop3ClientError::kTlsHostName, SmtpClientError::kTlsHostName},
      {TlsFailure::kPin, Pop3ClientError::kTlsPin, SmtpClientError::kTlsPin},
      {TlsFailure::kSettings, Pop3ClientError::kTlsSettings, SmtpClientError::kTlsSettings},
      // What only a server's handshake tells apart is a failed handshake to a client.
      {TlsFailure::kPeerRefusedCertificate, Pop3ClientError::kTlsHandshake, SmtpClientError::kTlsHandshake},
      {TlsFailure::kPlainText, Pop3ClientError::kTlsHandshake, SmtpClientError::kTlsHandshake},
      {TlsFailure::kTimedOut, Pop3ClientError::kTlsHandshake, SmtpClientError::kTlsHandshake},
      {TlsFailure::kNoCommonSuite, Pop3ClientError::kTlsHandshake, SmtpClientError::kTlsHandshake},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pop3_client::TlsError(c.failure), c.pop3) << static_cast<int>(c.failure);
    EXPECT_EQ(smtp_client::TlsError(c.failure), c.smtp) << static_cast<int>(c.failure);
  }
  EXPECT_EQ(pop3_client::ErrorNumber(Pop3ClientError::kTlsHandshake), 38);
  EXPECT_EQ(smtp_client::ErrorNumber(SmtpClientError::kTlsSettings), 31);
}

}  // namespace
}  // namespace quelma::net
