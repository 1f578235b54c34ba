// One event stream for all of a browser's tabs of the preferences window: a
// shared worker holds it and hands every state to each tab. A browser opens
// six connections per host; a stream per tab would soon leave none for the
// tabs' actions, or for another tab to load.
'use strict';

const ports = new Set();
let link = 'connecting';
let last = null;

function tell(message) {
  for (const port of ports) port.postMessage(message);
}

const events = new EventSource('events');
events.onopen = () => { link = 'open'; tell({ link }); };
events.onerror = () => { link = 'lost'; tell({ link }); };
events.onmessage = (ev) => { last = ev.data; tell({ state: last }); };

onconnect = (ev) => {
  const port = ev.ports[0];
  ports.add(port);
  // A tab says goodbye when it goes; ports give no other sign of that.
  port.onmessage = (m) => { if (m.data === 'bye') ports.delete(port); };
  port.postMessage({ link });
  if (last) port.postMessage({ state: last });
};
