// The security tab: the agent's audit of requests, and the emergency stop.
import {api, requireToken} from './api.js';
import {$, escapeHTML, failed, toast, words} from './ui.js';

const AUDIT_LIMIT = 40;

function renderAudit(audit) {
  const events = (audit?.events || []).slice(0, AUDIT_LIMIT);
  $('auditList').innerHTML = events.length
    ? events.map((event) => {
      const tone = /failed|blocked|limited|locked|denied/.test(event.outcome) ? 'bad'
        : /authorized|paired|started/.test(event.outcome) ? 'ok' : '';
      // Repeated refusals from one address arrive as one event with a count, dated at the last.
      const repeats = Number.isInteger(event.count) && event.count > 1 ? ` ×${event.count}` : '';
      return `<li><span class="outcome" data-tone="${tone}">${escapeHTML(event.outcome)}${repeats}</span>
        <span>${escapeHTML(event.remoteAddress)} · ${escapeHTML(event.method || '')} ${escapeHTML(event.path)}</span>
        <span class="sub">${escapeHTML(event.occurredAt || '')}${event.detail ? ' · ' + escapeHTML(event.detail) : ''}</span></li>`;
    }).join('')
    : '<li class="empty">No audit events.</li>';
}

export async function loadAudit() {
  if (!requireToken())
    return;
  try {
    renderAudit(await api('GET', '/v1/controllers/security/events'));
  } catch (error) {
    failed(error);
  }
}

// `disconnect(reason)` ends the page's own session once the agent has stopped.
async function emergencyStop(disconnect) {
  if (!requireToken())
    return;
  if (!confirm('End active sessions and revoke direct access for ' + words().computer + '?'))
    return;
  try {
    const answer = await api('POST', '/v1/controllers/security/emergency-stop', {
      revokeDirectAccess: true,
      endActiveSessions: true,
      reason: 'web_console_emergency_stop',
    });
    const ended = answer?.endedSessionIds?.length || 0;
    toast('Emergency stop: ' + ended + (ended === 1 ? ' session' : ' sessions') + ' ended, direct access revoked');
    renderAudit(answer?.audit);
  } catch (error) {
    failed(error);
  }
  await disconnect('web_console_emergency_stop');
}

export function bindSecurity(disconnect) {
  $('auditRefresh').addEventListener('click', loadAudit);
  $('emergencyStop').addEventListener('click', () => emergencyStop(disconnect));
}
