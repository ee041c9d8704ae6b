#!/usr/bin/env bash
# add-action-texts.sh PACKAGE.msi: the ActionText rows of the stage actions, so that the installer's dialog
# shows each row a stage runs ([1], the row's text) and a long row's advance ([2]). wixl cannot author
# ActionText rows (it knows no <ProgressText>): add them after wixl, as the action types are set.
set -euo pipefail
msi="$1"
if ! msiinfo export "$msi" ActionText >/dev/null 2>&1; then
    msibuild "$msi" -q "CREATE TABLE \`ActionText\` (\`Action\` CHAR(72) NOT NULL, \`Description\` CHAR(0) LOCALIZABLE, \`Template\` CHAR(0) LOCALIZABLE PRIMARY KEY \`Action\`)"
fi
while IFS='|' read -r action description; do
    msibuild "$msi" -q "INSERT INTO \`ActionText\` (\`Action\`, \`Description\`, \`Template\`) VALUES ('$action', '$description', '[1] [2]')"
done <<'ROWS'
OnStagePreinstall|Performing pre-installation actions
OnStageNormal|Reconfiguring installed components
OnStagePrecommit|Finishing configuration of installed components
OnStagePostinstall|Performing post-installation actions
ROWS
