# Voltwarden NOTIFY_CMD example: sends one mail per power event through an SMTP server.
# Setting (one line):
#   Voltwarden.exe SET 1012 "powershell.exe -NoProfile -ExecutionPolicy Bypass -File C:\Tools\notify-mail.ps1"
# The service appends the event's name and its text: ... ONBATT "Mains power failure: the UPS is running on battery"
# The same come in VOLTWARDEN_EVENT, VOLTWARDEN_TEXT, VOLTWARDEN_CHARGE and VOLTWARDEN_MODEL.
param([string]$Event = $env:VOLTWARDEN_EVENT, [string]$Text = $env:VOLTWARDEN_TEXT)

$SmtpServer = 'smtp.example.org'   # your mail relay
$SmtpPort   = 587
$From       = 'ups@example.org'
$To         = 'oncall@example.org'
# A password kept beside the script, readable by SYSTEM and Administrators only:
#   Read-Host -AsSecureString | ConvertFrom-SecureString | Set-Content C:\Tools\smtp.secret  (run as SYSTEM)
$User       = 'ups@example.org'
$SecretFile = 'C:\Tools\smtp.secret'

$subject = "[$env:COMPUTERNAME] UPS $Event"
$body = @"
$Text

Computer: $env:COMPUTERNAME
UPS model: $env:VOLTWARDEN_MODEL
Battery charge: $(if ($env:VOLTWARDEN_CHARGE) { "$env:VOLTWARDEN_CHARGE %" } else { 'not known' })
Time: $(Get-Date -Format 'yyyy-MM-dd HH:mm:ss')
"@

$message = New-Object System.Net.Mail.MailMessage($From, $To, $subject, $body)
$client = New-Object System.Net.Mail.SmtpClient($SmtpServer, $SmtpPort)
$client.EnableSsl = $true
if (Test-Path $SecretFile) {
    $password = Get-Content $SecretFile | ConvertTo-SecureString
    $client.Credentials = New-Object System.Net.NetworkCredential($User, $password)
}
try {
    $client.Send($message)
    exit 0
} catch {
    # The exit code lands in the event log as Notify(<EVENT>):ExitCode=1.
    exit 1
} finally {
    $message.Dispose()
    $client.Dispose()
}
