# The Tarvo panel's virtual host. Made at installation from tarvo-vhost.conf.tpl: do not edit by hand,
# the next installation makes it anew (the previous one is kept as tarvo-vhost.conf.bak).
Listen @@PANEL_PORT@@

<VirtualHost *:@@PANEL_PORT@@>
    ServerName @@PANEL_HOST@@
    # Apache wants forward slashes in paths.
    DocumentRoot "@@DOCROOT@@"
    <Directory "@@DOCROOT@@">
        Options -Indexes
        Require all granted
    </Directory>
    ErrorLog "@@LOGDIR@@/panel-error.log"
    PHPIniDir "@@ETCDIR@@"
    # Read by the panel's scripts, which treat the backslash as an escape character.
    SetEnv TARVO_ROOT "@@ROOT_ESCAPED@@"
</VirtualHost>
