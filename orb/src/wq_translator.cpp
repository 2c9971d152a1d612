// Minor-code message table and the English translator over it.
#include "corba_except.h"

#include <atomic>
#include <mutex>

const wq_MinorRow wq_minor_table[] = {
    {0x51570001, "Unknown Error Occurred.\n"},
    {0x51570003, "Received exception `%s' unknown to this process.\n"},
    {0x51570004, "Native C++ exception `%s'.\n"},
    {0x51570083, "Failed to send a message.\n"},
    {0x51570084, "Failed to receive a reply after sending a request.\n"},
    {0x51570085, "Received MessageError from Server.\n"},
    {0x51570086, "Received an Invalid reply status to a request message, ReplyStatus = '%s'.\n"},
    {0x51570082, "Connection is closed.\n"},
    {0x51570088, "This process does not have the transport specified in endpoint '%s' linked in.\n"},
    {0x5157008C, "Received an unsupported or erroneous GIOP message.\n"},
    {0x51570021, "server name required, but not provided (or is null)\n"},
    {0x51570025, "Expected an Object Reference that was not null.\n"},
    {0x51570027, "Expected an endpoint that was not null.\n"},
    {0x51570028, "Parameters provided result in object key that exceeds max length (256)\n"},
    {0x51570029, "Expected an object key that was not null.\n"},
    {0x5157002A, "Expected an Repository ID that was not null.\n"},
    {0x5157002B, "The CORBA priority %s was not in the range of 0 to 32,767.\n"},
    {0x5157002C, "Could not parse the information provided in endpoint string: '%s'.\n"},
    {0x5157002D, "The scheme name %s is unknown or not implemented.\n"},
    {0x5157002E, "Inconsistent POA Policy Error: '%s'.\n"},
    {0x5157002F, "In order to use null object ids on bind(), RootPOA is required.\n"},
    {0x51570030, "corbaloc parse failed: '%s'.\n"},
    {0x51570031, "ObjectId to string conversion failed: '%s'.\n"},
    {0x51570032, "WString to ObjectId conversion failed: '%s'.\n"},
    {0x51570061, "An object was forwarded more than the maximum number of times('%s').\n"},
    {0x51570062, "Attempt to forward local object implementation.  This is not yet supported.\n"},
    {0x51570063, "Attempt to receive a message that exceeds the maximum size.\n"},
    {0x51570064, "Attempt to receive an IOR with a profile larger than the maximum size allowed.\n"},
    {0x51570065, "Attempt to receive an IOR with more profiles than the maximum number allowed('%s').\n"},
    {0x51570183, "The object does not support the operation <%s> that was invoked.\n"},
    {0x515701A1, "The invoking CORBA priority was not within any of the priority bands for the endpoint.\n"},
    {0x51570126, "Must supply name server endpoints in WQ_NAME_SERVER_ENDPOINTS environment variable.\n"},
    {0x51570127, "Must supply name server endpoints in WQ_LAUNCHD_ENDPOINTS environment variable.\n"},
    {0x51570128, "Must supply event server endpoints in WQ_EVENT_SERVER_ENDPOINTS environment variable.\n"},
    {0x51570141, "Operation %s not implemented.\n"},
    {0x515700A1, "Interface Name '%s' is invalid.\n"},
    {0x515700A3, "Object (STRINGIFIED) '%s' cannot be found while in collocated mode if the object is remote.\n"},
    {0x515700A5, "Is the Object specified for a local?, collocated?\n Operation is remote and must have a proxy.\n"},
    {0x515700AA, "Received invalid Object Key: null object id\n"},
    {0x515700E4, "Ulvenor internal error %s.\n"},
    {0x51570101, "Read/Write to stream failed.\n"},
    {0x51570103, "An IOR must contain at least one tagged profile.\n"},
    {0x51570105, "Attempted to demarshal IOR with no recognized profiles (target type unknown).\n"},
    {0x51570106, "Unable to marshal IOR for servant from process without listening endpoints.\n"},
    {0x51570107, "null pointer passed to Any inserter (%s)\n"},
    {0x51570201, "The servant manager was previously set.\n"},
    {0x51570202, "Illegal to call CORBA::ORB::shutdown() from servant with wait_for_completion set to true.\n"},
    {0x51570203, "Server-declared priority previously set to a different value on this object.\n"},
    {0x515702E1, "Error in POA processing: %s\n"},
    {0x515702E2, "No listening endpoints were specified for server.\n"},
    {0x515702E9, "Incompatible servant manager or policy mismatch. Reason = '%s'\n"},
    {0x515702EA, "Object not found or created. Reason = '%s'\n"},
    {0x51570301, "Installed priority mapping can't map priority %s.\n"},
    {0x51570221, "The target POA is currently discarding all requests.\n"},
    {0x51570401, "The object key specified <%s> is invalid.\n"},
    {0x51570403, "The object with object key <%s> was not found in the server.\n"},
    {0, nullptr},
};

wq_ExceptionsTranslator *wq_the_translator = nullptr;

wq_ExceptionsTranslator::wq_ExceptionsTranslator() { wq_the_translator = this; }
wq_ExceptionsTranslator::~wq_ExceptionsTranslator() = default;

char const *wq_TranslatorUSEnglishSmall::wq_lookup(unsigned int minor)
{
    for (const wq_MinorRow *r = wq_minor_table; r->code != 0 || r->text; ++r)
        if (r->code == minor)
            return r->text;
    return nullptr;
}

bool wq_Errors::_initialize_english()
{
    static std::once_flag once;
    std::call_once(once, [] { new wq_TranslatorUSEnglishSmall(); });
    return true;
}

// The broker installs its English messages before main.
bool wq_lang_initialized = wq_Errors::_initialize_english();
