
import matplotlib
matplotlib.use('Agg')
import seaborn as sns
import matplotlib.pyplot as plt
import pandas as pd
import os

sns.set_theme()

os.makedirs("/home/user/.velko/charts/call_1_2", exist_ok=True)
os.chdir("/home/user/.velko/charts/call_1_2")


def query_db(sql: str) -> pd.DataFrame:
    """Database not configured."""
    raise RuntimeError("No database connection configured. Set connection_id in state.")


# User code
df = query_db('SELECT region, SUM(amount) AS total FROM sales GROUP BY region')
sns.barplot(data=df, x='region', y='total')
plt.savefig('sales.png')

# Ensure all figures are saved
plt.close("all")
