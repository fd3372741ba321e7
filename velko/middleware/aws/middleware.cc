#include "velko/middleware/aws/middleware.h"

namespace velko::middleware::aws {

const std::string AWS_SYSTEM_PROMPT =
    R"(## AWS CLI

You have access to AWS services through the AWS CLI.
Use the `bash` tool to run AWS commands like:
- `aws s3 ls` - List S3 buckets
- `aws s3 cp <source> <dest>` - Copy files to/from S3
- `aws s3 sync <source> <dest>` - Sync directories

AWS credentials are configured via environment variables (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_DEFAULT_REGION).)";

bool _check_aws_env_vars() {
  static constexpr const char* kNames[] = {AWS_KEY};
  return credential_gate::env_vars_available(kNames);
}

AWSMiddleware::AWSMiddleware()
    : CredentialGatedMiddleware(HAS_AWS_ENV_VARS_KEY, &_check_aws_env_vars, "\n", AWS_SYSTEM_PROMPT) {}

}  // namespace velko::middleware::aws
