// A bounded HTTP/1.1 client for the tests: one request per connection, every wait limited.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace web_testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

struct Reply {
  unsigned status = 0;  // 0: no answer (closed, timed out)
  std::map<std::string, std::string> headers;
  std::string body;
};

// Sends `raw` bytes as they are and reads one response, within `limit`.
inline Reply exchange_raw(unsigned short port, const std::string& raw,
                          std::chrono::milliseconds limit = 10s) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  parser.skip(raw.rfind("HEAD ", 0) == 0);  // a HEAD answer has a length but no body
  Reply reply;
  stream.expires_after(limit);
  stream.async_connect(
      tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), [&](beast::error_code error) {
        if (error) return;
        asio::async_write(stream, asio::buffer(raw), [&](beast::error_code, std::size_t) {
          http::async_read(stream, buffer, parser, [&](beast::error_code read_error, std::size_t) {
            if (read_error) return;
            const auto& response = parser.get();
            reply.status = response.result_int();
            for (const auto& field : response) {
              reply.headers[std::string(field.name_string())] = std::string(field.value());
            }
            reply.body = response.body();
          });
        });
      });
  io.run_for(limit + 1s);
  return reply;
}

inline Reply exchange(unsigned short port, const std::string& method, const std::string& target,
                      const std::string& body = "", const std::string& extra_headers = "") {
  std::string raw = method + " " + target +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra_headers;
  if (!body.empty() || method == "POST")
    raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  raw += "\r\n" + body;
  return exchange_raw(port, raw);
}

}  // namespace web_testing
