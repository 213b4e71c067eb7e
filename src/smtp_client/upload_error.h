// A fatal fault of the upload: it ends the whole upload with its error number.
#pragma once

namespace quelma::smtp_client {

struct UploadError {
  int number;
};

}  // namespace quelma::smtp_client
