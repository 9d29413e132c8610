"""Just enough of LDAP's BER framing (RFC 4511) for the test peers: read one message off a
stream, tell its operation and controls apart, and build the few answers the peers give."""
import collections

STARTTLS_OID = b"1.3.6.1.4.1.1466.20037"
PAGED_RESULTS_OID = b"1.2.840.113556.1.4.319"

BIND_REQUEST, BIND_RESPONSE = 0x60, 0x61
UNBIND_REQUEST = 0x42
SEARCH_REQUEST, SEARCH_ENTRY, SEARCH_DONE = 0x63, 0x64, 0x65
ABANDON_REQUEST = 0x50
EXTENDED_REQUEST, EXTENDED_RESPONSE = 0x77, 0x78

SUCCESS, PROTOCOL_ERROR, UNWILLING_TO_PERFORM = 0, 2, 53

Message = collections.namedtuple("Message", "raw message_id op op_value controls")


def ber_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, value):
    return bytes([tag]) + ber_length(len(value)) + value


def read_exact(read, n):
    data = b""
    while len(data) < n:
        chunk = read(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def split_tlvs(data):
    """The (tag, value) pairs of one level of BER; definite lengths only, as LDAP requires."""
    items, at = [], 0
    while at < len(data):
        tag, length = data[at], data[at + 1]
        at += 2
        if length & 0x80:
            size = length & 0x7F
            length = int.from_bytes(data[at:at + size], "big")
            at += size
        items.append((tag, data[at:at + length]))
        at += length
    return items


def read_message(read):
    """One LDAPMessage off a stream; raises EOFError at its end or on anything that is not one."""
    header = read_exact(read, 2)
    if header[0] != 0x30:
        raise EOFError
    extra = b""
    length = header[1]
    if length & 0x80:
        extra = read_exact(read, length & 0x7F)
        length = int.from_bytes(extra, "big")
    body = read_exact(read, length)
    parts = split_tlvs(body)
    if len(parts) < 2 or parts[0][0] != 0x02:
        raise EOFError
    controls = [split_tlvs(control)
                for tag, value in parts[2:] if tag == 0xA0
                for _, control in split_tlvs(value)]
    return Message(header + extra + body, parts[0][1], parts[1][0], parts[1][1],
                   [control[0][1] for control in controls if control])


def is_starttls(message):
    return (message.op == EXTENDED_REQUEST
            and (0x80, STARTTLS_OID) in split_tlvs(message.op_value)[:1])


def is_paged(message):
    return PAGED_RESULTS_OID in message.controls


def paged_control(cookie):
    value = tlv(0x30, tlv(0x02, b"\x00") + tlv(0x04, cookie))
    return tlv(0xA0, tlv(0x30, tlv(0x04, PAGED_RESULTS_OID) + tlv(0x04, value)))


def response(message_id, op_tag, code=SUCCESS, extra=b"", controls=b""):
    result = tlv(0x0A, bytes([code])) + tlv(0x04, b"") + tlv(0x04, b"") + extra
    return tlv(0x30, tlv(0x02, message_id) + tlv(op_tag, result) + controls)


def starttls_response(message_id, code=SUCCESS):
    return response(message_id, EXTENDED_RESPONSE, code, tlv(0x8A, STARTTLS_OID))


def search_entry(message_id, dn, attribute, value):
    return search_entry_with(message_id, dn, [(attribute, [value])])


def search_entry_with(message_id, dn, attributes):
    """An entry with (name, [values]) attributes, in that order."""
    body = b"".join(tlv(0x30, tlv(0x04, name) + tlv(0x31, b"".join(tlv(0x04, v) for v in values)))
                    for name, values in attributes)
    return tlv(0x30, tlv(0x02, message_id) + tlv(SEARCH_ENTRY, tlv(0x04, dn) + tlv(0x30, body)))


def requested_attributes(message):
    """The attribute names a search request asks for, as sent."""
    parts = split_tlvs(message.op_value)
    return [name for _, name in split_tlvs(parts[-1][1])] if parts[-1][0] == 0x30 else []
