// The statuses of a "sent" event, as docs/protocol.md's table gives them.

/** The "status" of a "sent" event. */
export const Status = Object.freeze({
  SUCCESS: 0,
  SEND_TIMEOUT: -1,
  RECEIVE_TIMEOUT: -2,
  IS_INVALID: -3,
  TRANSPORT_ERROR: -4,
  BECAME_INVALID: -5,
  NOT_REGISTERED: -99,
});

const statusNames = new Map(Object.entries(Status).map(([name, value]) => [value, name]));

/** The name of a status; any other value the service passes through comes back as its number. */
export function statusName(status) {
  return statusNames.get(status) ?? String(status);
}
