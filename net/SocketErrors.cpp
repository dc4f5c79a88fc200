#include "net/SocketErrors.h"

#include <boost/asio/error.hpp>

#include "net/CPSocketManager.h"

uint32_t PlatformErrorOf(const boost::system::error_code &error)
{
    namespace asio = boost::asio;
    using namespace PlatformError;
    if (!error)
        return kSuccess;
    struct Pair
    {
        boost::system::error_code code;
        uint32_t number;
    };
    static const Pair kTable[] = {
        {asio::error::connection_refused, kWSAECONNREFUSED},
        {asio::error::connection_reset, kWSAECONNRESET},
        // A send to a connection the peer has reset.
        {asio::error::broken_pipe, kWSAECONNRESET},
        {asio::error::timed_out, kWSAETIMEDOUT},
        {asio::error::network_unreachable, kWSAENETUNREACH},
        {asio::error::host_unreachable, kWSAEHOSTUNREACH},
        {asio::error::network_down, kWSAENETDOWN},
        {asio::error::network_reset, kWSAENETRESET},
        {asio::error::operation_aborted, kOperationAborted},
        {asio::error::fault, kWSAEFAULT},
        {asio::error::address_family_not_supported, kWSAEAFNOSUPPORT},
        {make_error_code(boost::system::errc::address_not_available), kWSAEADDRNOTAVAIL},
        {asio::error::invalid_argument, kWSAEINVAL},
        {asio::error::already_started, kWSAEALREADY},
        {asio::error::not_socket, kWSAENOTSOCK},
        // A socket closed under a call has no descriptor any more.
        {asio::error::bad_descriptor, kWSAENOTSOCK},
        {asio::error::no_buffer_space, kWSAENOBUFS},
        {asio::error::address_in_use, kWSAEADDRINUSE},
        {asio::error::connection_aborted, kWSAECONNABORTED},
        {asio::error::not_connected, kWSAENOTCONN},
        {asio::error::already_connected, kWSAEISCONN},
        {asio::error::shut_down, kWSAESHUTDOWN},
        {asio::error::message_size, kWSAEMSGSIZE},
        {asio::error::in_progress, kWSAEINPROGRESS},
        {asio::error::would_block, kWSAEWOULDBLOCK},
        {asio::error::eof, kWSAECONNRESET},
    };
    for (const Pair &pair : kTable)
        if (error == pair.code)
            return pair.number;
    return kApplicationBit | static_cast<uint32_t>(error.value());
}
