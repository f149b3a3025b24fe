#include "HTTPRequest.h"

#include "Log.h"

#include <curl/curl.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>

namespace {

// Guards g_limits.
std::mutex g_limitsMutex;
HTTPRequest::Limits g_limits;

// What the receive callback works on: the response and the body limit.
struct Receiver {
    CURL* curl;
    HTTPResponse* response;
    size_t maxBody;
    bool overLimit;
    bool sized; // the announced length was looked at
    HTTPBodySink* sink;
    size_t received; // body bytes so far
    bool sinkStopped;
};

// Reserves room for an announced body once, so that a large reply is not
// copied over and over while it grows; refuses an announced body that is
// over the limit before any of it is kept.
bool _announced_length_fits(Receiver* rx) {
    if (rx->sized)
        return true;
    rx->sized = true;
    curl_off_t announced = -1;
    if (curl_easy_getinfo(rx->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK ||
        announced < 0)
        return true;
    if (static_cast<unsigned long long>(announced) > rx->maxBody)
        return false;
    if (!rx->sink)
        rx->response->reserve(static_cast<size_t>(announced));
    return true;
}

size_t _rcv_data(char* data, size_t size, size_t nmemb, void* userp) {
    Receiver* rx = static_cast<Receiver*>(userp);
    size_t n = size * nmemb;
    int shown = n < 100 ? static_cast<int>(n) : 100;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
             static_cast<int>(size), static_cast<int>(nmemb),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(rx->response)), shown, data);
    if (!_announced_length_fits(rx) || n > rx->maxBody || rx->received > rx->maxBody - n) {
        // Returning less than n makes libcurl abort the transfer.
        rx->overLimit = true;
        Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", 0);
        return 0;
    }
    rx->received += n;
    if (rx->sink) {
        long status = 0;
        curl_easy_getinfo(rx->curl, CURLINFO_RESPONSE_CODE, &status);
        if (!rx->sink->Body(status, data, n)) {
            rx->sinkStopped = true;
            Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", 0);
            return 0;
        }
    } else {
        rx->response->process(data, n);
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
    return n;
}

void _global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

HTTPResponse::HTTPResponse(const char* url) : request(url ? url : "") {}

HTTPRequest::Limits HTTPRequest::limits() {
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    return g_limits;
}

void HTTPRequest::set_limits_for_testing(const Limits& value) {
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    g_limits = value;
}

std::string HTTPRequest::BuildURL(const char* url,
                                  const std::map<std::string, std::string>& params) {
    std::string full = url ? url : "";
    if (!params.empty())
        full += "?";
    for (const auto& p : params)
        full += p.first + "=" + p.second + "&";
    return full;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& params) {
    return GET(url, params, nullptr);
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& params,
                              HTTPBodySink* sink) {
    _global_init();
    CURL* curl = curl_easy_init();
    if (!curl)
        throw std::runtime_error("Could not create curl instance");

    std::string full = BuildURL(url, params);
    HTTPResponse response(full.c_str());
    Limits lim = limits();
    const size_t maxReply = sink ? sink->ReplyLimit(lim.maxBodyBytes) : lim.maxBodyBytes;
    Receiver rx{curl, &response, maxReply, false, false, sink, 0, false};

    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &rx);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_URL, response.get_request());
    // The update server speaks HTTP: no other scheme of libcurl's (file,
    // ftp, gopher, dict, ...) is ever followed, not even by a redirect.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // A streamed body is taken in larger pieces: fewer calls per payload.
    if (rc == CURLE_OK && sink)
        rc = curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L);
    // Time-outs: the connection must come up in time, and a transfer that
    // stalls is given up, while a slow but live one still completes.
    // NOSIGNAL keeps libcurl from using signals for them (we run on a worker
    // thread during downloads).
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, lim.connectTimeoutMs);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, lim.lowSpeedBytes);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lim.lowSpeedSeconds);
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
        rc = curl_easy_perform(curl);
    }
    long status = 0;
    if (rc == CURLE_OK)
        rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (rx.overLimit)
        throw std::runtime_error("Reply larger than " + std::to_string(maxReply) +
                                 " bytes refused");
    if (rx.sinkStopped)
        throw std::runtime_error(sink->Problem());
    if (rc != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}
