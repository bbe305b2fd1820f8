#include "chatserver/net/HttpRequest.h"

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

namespace chatserver {

namespace http = boost::beast::http;

struct HttpRequestReader::Impl {
    http::request_parser<http::empty_body> parser;
    QByteArray pending; // bytes the parser has not taken yet
};

HttpRequestReader::HttpRequestReader(std::size_t maxHeaderBytes) : m_impl(std::make_unique<Impl>()) {
    m_impl->parser.header_limit(static_cast<std::uint32_t>(maxHeaderBytes));
    // The pages take no body: anything announced beyond nothing is refused.
    m_impl->parser.body_limit(0);
    m_impl->parser.eager(true);
}

HttpRequestReader::~HttpRequestReader() = default;

HttpRequestReader::Status HttpRequestReader::feed(const QByteArray& bytes) {
    if (m_status != Status::Incomplete) return m_status;
    m_impl->pending += bytes;
    // The parser takes whole lines only; what it leaves is kept for the next call.
    while (!m_impl->pending.isEmpty()) {
        boost::beast::error_code ec;
        const std::size_t used = m_impl->parser.put(
            boost::asio::const_buffer(m_impl->pending.constData(), static_cast<std::size_t>(m_impl->pending.size())),
            ec);
        m_impl->pending.remove(0, static_cast<qsizetype>(used));
        if (ec == http::error::need_more) break;
        if (ec) {
            m_status = Status::Malformed;
            return m_status;
        }
        if (m_impl->parser.is_done()) {
            m_status = Status::Complete;
            return m_status;
        }
        if (used == 0) break;
    }
    if (m_impl->parser.is_done()) m_status = Status::Complete;
    return m_status;
}

QByteArray HttpRequestReader::method() const {
    const auto text = m_impl->parser.get().method_string();
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray HttpRequestReader::target() const {
    const auto text = m_impl->parser.get().target();
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray HttpRequestReader::host() const {
    const auto& message = m_impl->parser.get();
    const auto it = message.find(http::field::host);
    if (it == message.end()) return {};
    const auto text = it->value();
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray targetPage(const QByteArray& target) {
    qsizetype start = 0;
    while (start < target.size() && target[start] == '/')
        ++start;
    const qsizetype query = target.indexOf('?', start);
    return target.mid(start, query < 0 ? -1 : query - start);
}

QByteArray targetQuery(const QByteArray& target) {
    const qsizetype query = target.indexOf('?');
    return query < 0 ? QByteArray() : target.mid(query + 1);
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

QByteArray percentDecoded(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out.append(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.append(text[i]);
        }
    }
    return out;
}

} // namespace chatserver
