# Voltwarden NOTIFY_CMD example: posts each power event to a chat webhook (any service that
# takes a JSON body with a "text" field: Slack and Mattermost incoming webhooks, for example).
# Setting (one line):
#   Voltwarden.exe SET 1012 "powershell.exe -NoProfile -ExecutionPolicy Bypass -File C:\Tools\notify-webhook.ps1"
param([string]$Event = $env:VOLTWARDEN_EVENT, [string]$Text = $env:VOLTWARDEN_TEXT)

$WebhookUrl = 'https://chat.example.org/hooks/REPLACE-WITH-YOUR-HOOK'

$charge = if ($env:VOLTWARDEN_CHARGE) { " (battery $env:VOLTWARDEN_CHARGE %)" } else { '' }
$payload = @{ text = "$env:COMPUTERNAME - UPS $Event$charge`: $Text" } | ConvertTo-Json -Compress

try {
    # NOTIFY_TIME ends the whole process tree; the request's own time-out stays below it.
    Invoke-RestMethod -Uri $WebhookUrl -Method Post -ContentType 'application/json; charset=utf-8' `
        -Body ([System.Text.Encoding]::UTF8.GetBytes($payload)) -TimeoutSec 20 | Out-Null
    exit 0
} catch {
    exit 1
}
