#include "CrlSSL.h"

CCrlSSL::CCrlSSL() = default;
CCrlSSL::CCrlSSL(const CCrlSSL&) = default;
CCrlSSL& CCrlSSL::operator=(const CCrlSSL&) = default;
CCrlSSL::~CCrlSSL() = default;

std::string CCrlSSL::proxy_url;
std::string CCrlSSL::proxy_user;
std::string CCrlSSL::proxy_password;
std::string CCrlSSL::proxy_useragent;
